#include "platform/proxysettings/ov_user_proxy_settings.h"

#include "platform/os/ov_os.h"
#include "platform/proxysettings/ov_desktop_session.h"
#include "platform/proxysettings/ov_env_proxy_backend.h"
#include "platform/proxysettings/ov_gnome_proxy_backend.h"
#include "platform/proxysettings/ov_kde_proxy_backend.h"

namespace ovplatform {
namespace {

// kioslaverc is a few kB; anything far larger is not a settings file.
constexpr size_t kMaxKioslavercBytes = 1 << 20;

std::optional<std::string> OsLookup(const std::string& name) {
  return GetOs().GetEnv(name);
}

std::string ConfigHome() {
  Os& os = GetOs();
  if (auto config = os.GetEnv("XDG_CONFIG_HOME");
      config && !config->empty() && config->front() == '/') {
    return *config;
  }
  const std::string home = os.HomeDirectory();
  return home.empty() ? std::string() : JoinPath(home, ".config");
}

class LinuxUserProxySettingsReader final : public UserProxySettingsReader {
 public:
  bool Read(UserProxySettings& out, uint32_t& error) override {
    error = 0;
    switch (DetectDesktop()) {
      case DesktopKind::kGnome: {
        GnomeProxyValues values;
        if (ReadGnomeProxyValues(values)) {
          out = TranslateGnomeProxyValues(values);
          return true;
        }
        break;
      }
      case DesktopKind::kKde: {
        const std::string folder = ConfigHome();
        if (folder.empty()) break;
        const auto text = GetOs().ReadFile(JoinPath(folder, "kioslaverc"), kMaxKioslavercBytes);
        bool reversed = false;
        if (text && ReadKdeProxySettings(*text, OsLookup, out, &reversed)) {
          if (reversed) {
            out.note =
                "the exception list is reversed (proxy only for listed hosts); "
                "it was dropped and every host uses the proxy";
          }
          return true;
        }
        break;
      }
      case DesktopKind::kOther:
        break;
    }
    ReadEnvironmentProxySettings(OsLookup, out);
    return true;
  }
};

}  // namespace

UserProxySettingsReader& SystemUserProxySettingsReader() {
  static LinuxUserProxySettingsReader real;
  return real;
}

}  // namespace ovplatform
