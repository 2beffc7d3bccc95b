#include "platform/proxysettings/ov_user_proxy_settings.h"

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "platform/os/ov_os.h"

namespace ovplatform {
namespace {

// Frees the record's strings however the reading ends.
class SystemConfig {
 public:
  SystemConfig() = default;
  SystemConfig(const SystemConfig&) = delete;
  SystemConfig& operator=(const SystemConfig&) = delete;
  ~SystemConfig() {
    for (LPWSTR text : {config_.lpszAutoConfigUrl, config_.lpszProxy, config_.lpszProxyBypass}) {
      if (text != nullptr) GlobalFree(text);
    }
  }
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* get() { return &config_; }

 private:
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config_{};
};

// The system's text in UTF-8; text that does not convert is dropped and
// named in the note, rather than passed on altered.
std::string Take(const wchar_t* text, const char* what, std::string& note) {
  std::string utf8 = text == nullptr ? std::string() : WideToUtf8(text).value_or(std::string());
  if (utf8.empty() && text != nullptr && text[0] != L'\0') {
    if (!note.empty()) note += "; ";
    note += std::string("the ") + what + " is not valid UTF-16 and was dropped";
  }
  return utf8;
}

class WinHttpUserProxySettingsReader final : public UserProxySettingsReader {
 public:
  bool Read(UserProxySettings& out, uint32_t& error) override {
    error = 0;
    SystemConfig config;
    if (!WinHttpGetIEProxyConfigForCurrentUser(config.get())) {
      error = GetLastError();
      return false;
    }
    UserProxySettings settings;
    settings.backend = kWinHttpBackend;
    settings.auto_detect = config.get()->fAutoDetect != FALSE;
    settings.auto_config_url =
        Take(config.get()->lpszAutoConfigUrl, "auto-config URL", settings.note);
    settings.proxy = Take(config.get()->lpszProxy, "proxy string", settings.note);
    settings.bypass = Take(config.get()->lpszProxyBypass, "bypass string", settings.note);
    out = std::move(settings);
    return true;
  }
};

}  // namespace

UserProxySettingsReader& SystemUserProxySettingsReader() {
  static WinHttpUserProxySettingsReader real;
  return real;
}

}  // namespace ovplatform
