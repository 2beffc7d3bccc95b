// Firefox's data folders on Linux: the distribution package's, the snap's
// and the flatpak's, below the home folder.
#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"

#include "platform/os/ov_os.h"

namespace OVProxy {

std::vector<std::string> FirefoxDataFolders() {
  const std::string home = ovplatform::GetOs().HomeDirectory();
  if (home.empty()) return {};
  return {ovplatform::JoinPath(home, ".mozilla/firefox"),
          ovplatform::JoinPath(home, "snap/firefox/common/.mozilla/firefox"),
          ovplatform::JoinPath(home, ".var/app/org.mozilla.firefox/.mozilla/firefox")};
}

}  // namespace OVProxy
