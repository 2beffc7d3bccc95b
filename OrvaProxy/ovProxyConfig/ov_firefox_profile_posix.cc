// Firefox's data folders on Linux: the distribution package's (the legacy
// folder or the XDG one), the snap's and the flatpak's.
#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"

#include "platform/os/ov_os.h"

namespace OVProxy {

std::vector<std::string> FirefoxDataFolders() {
  ovplatform::Os& os = ovplatform::GetOs();
  const std::string home = os.HomeDirectory();
  if (home.empty()) return {};
  // Firefox keeps using the legacy folder while it exists and puts a new
  // user's profiles in the XDG configuration folder otherwise.
  std::string package = ovplatform::JoinPath(home, ".mozilla/firefox");
  if (!os.IsDirectory(package)) {
    const auto config = os.GetEnv("XDG_CONFIG_HOME");
    const std::string config_home = config && !config->empty() && config->front() == '/'
                                        ? *config
                                        : ovplatform::JoinPath(home, ".config");
    package = ovplatform::JoinPath(config_home, "mozilla/firefox");
  }
  return {package, ovplatform::JoinPath(home, "snap/firefox/common/.mozilla/firefox"),
          ovplatform::JoinPath(home, ".var/app/org.mozilla.firefox/.mozilla/firefox")};
}

}  // namespace OVProxy
