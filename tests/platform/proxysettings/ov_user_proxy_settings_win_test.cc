// The real WinHTTP reader against settings written where the system keeps
// them: the current user's DefaultConnectionSettings value, in its binary
// layout (a version, a change counter, the PROXY_TYPE_* flags, then the
// proxy, bypass and auto-config URL texts, each after its byte count).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/proxysettings/ov_user_proxy_settings.h"

namespace ovplatform {
namespace {

constexpr wchar_t kConnections[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t kValue[] = L"DefaultConnectionSettings";

// PROXY_TYPE_* flags.
constexpr uint32_t kDirect = 0x1, kProxy = 0x2, kPacUrl = 0x4, kAutoDetect = 0x8;

std::vector<BYTE> Settings(uint32_t flags, const std::string& proxy, const std::string& bypass,
                           const std::string& url) {
  std::vector<BYTE> blob;
  const auto word = [&](uint32_t value) {
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(value >> (8 * i)));
  };
  const auto text = [&](const std::string& value) {
    word(static_cast<uint32_t>(value.size()));
    blob.insert(blob.end(), value.begin(), value.end());
  };
  word(0x46);  // the layout's version
  word(1);     // change counter
  word(flags);
  text(proxy);
  text(bypass);
  text(url);
  blob.resize(blob.size() + 32, 0);  // fields after the URL, unused here
  return blob;
}

// Puts the user's own value back however the test ends.
class ScopedConnectionSettings {
 public:
  ScopedConnectionSettings() {
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
    DWORD size = 0;
    if (RegQueryValueExW(key_, kValue, nullptr, &saved_type_, nullptr, &size) == ERROR_SUCCESS) {
      saved_.emplace(size);
      if (RegQueryValueExW(key_, kValue, nullptr, &saved_type_, saved_->data(), &size) ==
          ERROR_SUCCESS) {
        saved_->resize(size);
      } else {
        saved_.reset();
      }
    }
  }
  ~ScopedConnectionSettings() {
    if (saved_) {
      RegSetValueExW(key_, kValue, 0, saved_type_, saved_->data(),
                     static_cast<DWORD>(saved_->size()));
    } else {
      RegDeleteValueW(key_, kValue);
    }
    RegCloseKey(key_);
  }
  ScopedConnectionSettings(const ScopedConnectionSettings&) = delete;
  ScopedConnectionSettings& operator=(const ScopedConnectionSettings&) = delete;

  void Write(const std::vector<BYTE>& blob) {
    ASSERT_EQ(
        RegSetValueExW(key_, kValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())),
        ERROR_SUCCESS);
  }

 private:
  HKEY key_ = nullptr;
  std::optional<std::vector<BYTE>> saved_;
  DWORD saved_type_ = REG_BINARY;
};

TEST(WinHttpUserProxySettingsTest, ReadsWhatTheUserSet) {
  ScopedConnectionSettings scoped;
  const struct {
    uint32_t flags;
    std::string proxy, bypass, url;
    const char* want;  // auto-detect|PAC URL|proxy|bypass
  } cases[] = {
      {kProxy | kPacUrl | kAutoDetect, "http=p1:3128;https=p2:443", "<local>;*.corp",
       "http://w/p.pac", "1|http://w/p.pac|http=p1:3128;https=p2:443|<local>;*.corp"},
      {kProxy, "proxy.corp:8080", "", "", "0||proxy.corp:8080|"},
      {kPacUrl, "", "", "http://pac.corp/x.pac", "0|http://pac.corp/x.pac||"},
      // Texts stored while their switch is off are not in force.
      {kDirect, "ignored.corp:1", "ignored", "http://ignored/", "0|||"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    scoped.Write(Settings(c.flags, c.proxy, c.bypass, c.url));
    UserProxySettings got;
    uint32_t error = 1;
    ASSERT_TRUE(GetUserProxySettingsReader().Read(got, error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(std::to_string(got.auto_detect) + "|" + got.auto_config_url + "|" + got.proxy + "|" +
                  got.bypass,
              c.want);
    EXPECT_EQ(got.backend, kWinHttpBackend);
    EXPECT_EQ(got.note, "");
  }
}

}  // namespace
}  // namespace ovplatform
