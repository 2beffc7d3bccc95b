// Firefox: prefs.js, its mapping to a configuration, and finding the profile.
#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <filesystem>
#include <fstream>

#include "platform/os/ov_os.h"
#endif
#include <gtest/gtest.h>

#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_firefox.h"
#include "OrvaProxy/ovProxyConfig/prejs_parser.h"
#include "ovtest/fake_environment_os.h"

namespace OVProxy {
namespace {

TEST(PrejsParserTest, CommentsAndDuplicates) {
  prejs_parser prefs("unused");
  prefs.load_text(
      "// Mozilla User Preferences\n"
      "user_pref(\"network.proxy.http\", \"first\");\n"
      "user_pref(\"network.proxy.http\", \"second\");\n"
      "// user_pref(\"network.proxy.ftp\", \"commented\");\n"
      "/* user_pref(\"network.proxy.ssl\", \"block\");\n"
      "   user_pref(\"network.proxy.socks\", \"still block\"); */ "
      "user_pref(\"network.proxy.socks\", \"after block\");\n"
      "user_pref(\"network.proxy.autoconfig_url\", \"http://pac.corp/a.pac\"); // trailing\n"
      "user_pref(\"network.proxy.no_proxies_on\", \"/* not a comment */ x (y)\");\n"
      "user_pref(\"browser.startup.page\", 3);\n"
      "user_pref(\"network.proxy.http_port\", 8080\n"
      "  user_pref(\"network.proxy.ssl_port\", -12abc);user_pref(\"network.proxy.ftp_port\", "
      "99999999999);\n",
      "network.proxy");
  std::string strings;
  for (const char* name : {"http", "ftp", "ssl", "socks", "autoconfig_url", "no_proxies_on"}) {
    strings += prefs.get_string(std::string("network.proxy.") + name) + "|";
  }
  EXPECT_EQ(strings, "first|||after block|http://pac.corp/a.pac|/* not a comment */ x (y)|");
  EXPECT_EQ(prefs.get_string("browser.startup.page"), "");    // filtered out
  EXPECT_EQ(prefs.get_int("network.proxy.http_port", 7), 7);  // no closing parenthesis
  EXPECT_EQ(prefs.get_int("network.proxy.ssl_port", 7), -12);
  EXPECT_EQ(prefs.get_int("network.proxy.ftp_port", 7), 2147483647);
}

TEST(FirefoxPreferencesTest, MapsProxyTypes) {
  // Each row: the prefs and, when VALID, what the configuration prints, its
  // bypass rules and its SOCKS proxies.
  const std::pair<const char*, const char*> cases[] = {
      {"", nullptr},
      {"user_pref(\"network.proxy.type\", 1);\n"
       "user_pref(\"network.proxy.http\", \"h\");user_pref(\"network.proxy.http_port\", 3128);\n"
       "user_pref(\"network.proxy.ssl\", \"s\");user_pref(\"network.proxy.ssl_port\", 0);\n"
       "user_pref(\"network.proxy.socks\", \"k\");user_pref(\"network.proxy.socks_port\", 1080);\n"
       "user_pref(\"network.proxy.socks_version\", 4);\n"  // picks the scheme
       "user_pref(\"network.proxy.no_proxies_on\", \".corp.example, <local>\");",
       "ProxyConfig{type=MANUAL, http=PROXY h:3128, source=Firefox}|<local>;*.corp.example|"
       "SOCKS4 k:1080"},
      // Manual without usable entries is direct; so is PAC without a URL.
      {"user_pref(\"network.proxy.type\", 1);user_pref(\"network.proxy.http\", \"h\");",
       "ProxyConfig{type=DIRECT, source=Firefox}|localhost;127.0.0.1|"},
      {"user_pref(\"network.proxy.type\", 2);", "ProxyConfig{type=DIRECT, source=Firefox}||"},
      {"user_pref(\"network.proxy.type\", 2);user_pref(\"network.proxy.autoconfig_url\", "
       "\"http://p/x\");",
       "ProxyConfig{type=PAC_SCRIPT, url=http://p/x, source=Firefox}||"},
  };
  for (const auto& [text, want] : cases) {
    prejs_parser prefs("unused");
    prefs.load_text(text, "network.proxy");
    ovProxyConfig config;
    const ovProxyConfigAvailability availability =
        ovProxyConfigServiceFirefox::MapPreferences(prefs, config);
    EXPECT_EQ(availability, want ? CONFIG_VALID : CONFIG_UNSET) << text;
    if (availability != CONFIG_VALID) continue;
    EXPECT_EQ(config.toString() + "|" + config.proxy_rules().bypass_rules.ToString() + "|" +
                  config.proxy_rules().socks_proxies.ToPacString(),
              want);
  }
}

TEST(FirefoxProfileTest, ChoosesTheProfile) {
  // Each row: profiles.ini, installs.ini and the profile chosen ("" for
  // none), "!" before an absolute path.
  const struct {
    const char* profiles;
    const char* installs;
    const char* chosen;
  } cases[] = {
      // The last profile when none is marked.
      {"[Profile0]\nPath=a\nIsRelative=0\n\n[Profile1]\nPath=b\n", "", "b"},
      // The default marker wins over order.
      {"; comment\n[Profile0]\r\nName=work\r\nPath = /abs/w \r\nIsRelative=0\r\nDefault=1\r\n"
       "[Profile1]\nPath=b\nIsRelative=1\n",
       "", "!/abs/w"},
      // The install section wins over both.
      {"[Install4F96D1932A9F858E]\nDefault=Profiles/x.default-release\nLocked=1\n"
       "[Profile1]\nPath=Profiles/y\nDefault=1\n[Profile0]\nPath=Profiles/x.default-release\n",
       "", "Profiles/x.default-release"},
      // installs.ini names the installation's profile when profiles.ini
      // does not...
      {"[General]\nStartWithLastProfile=1\nVersion=2\n\n[Profile1]\nPath=y.old\nDefault=1\n"
       "[Profile0]\nPath=x.default-esr\n",
       "[3B6D8B4A1C2E9F10]\nDefault=x.default-esr\nLocked=1\n", "x.default-esr"},
      // ... and yields to it when it does.
      {"[Install4F96D1932A9F858E]\nDefault=y.new\n[Profile0]\nPath=y.new\n",
       "[3B6D8B4A1C2E9F10]\nDefault=x.default-esr\n", "y.new"},
      {"[Backup]\nPath=zzz\n", "", ""},  // not a profile
  };
  for (const auto& c : cases) {
    const auto profile = ChooseFirefoxProfile(c.profiles, c.installs);
    EXPECT_EQ(profile ? (profile->relative ? "" : "!") + profile->path : "", c.chosen)
        << c.profiles;
  }
}

#if !defined(_WIN32)
// The Linux folders.
TEST(FirefoxProfileTest, FindsPrefsWhereFirefoxKeepsThem) {
  ovtest::FakeEnvironmentOs os;
  EXPECT_FALSE(FindFirefoxPrefsJs().has_value());

  // Only the snap folder has profiles: it is used.
  os.WriteHomeFile("snap/firefox/common/.mozilla/firefox/profiles.ini", "[Profile0]\nPath=p\n");
  const std::string snap_prefs =
      os.WriteHomeFile("snap/firefox/common/.mozilla/firefox/p/prefs.js", "");
  EXPECT_EQ(FindFirefoxPrefsJs(), snap_prefs);

  // A new user's Firefox keeps its profiles in the XDG folder, as
  // profiles.ini and installs.ini name them there; it comes before the snap.
  os.WriteHomeFile(".config/mozilla/firefox/profiles.ini",
                   "[Profile0]\nName=default-esr\nIsRelative=1\nPath=r.default-esr\n"
                   "[Profile1]\nPath=r.other\nDefault=1\n");
  os.WriteHomeFile(".config/mozilla/firefox/installs.ini",
                   "[3B6D8B4A1C2E9F10]\nDefault=r.default-esr\nLocked=1\n");
  const std::string xdg_prefs =
      os.WriteHomeFile(".config/mozilla/firefox/r.default-esr/prefs.js", "");
  EXPECT_EQ(FindFirefoxPrefsJs(), xdg_prefs);
  // $XDG_CONFIG_HOME moves it (a relative value does not count).
  os.SetEnv("XDG_CONFIG_HOME", "relative/config");
  EXPECT_EQ(FindFirefoxPrefsJs(), xdg_prefs);
  os.SetEnv("XDG_CONFIG_HOME", os.home() + "/xdg");
  EXPECT_EQ(FindFirefoxPrefsJs(), snap_prefs);
  os.WriteHomeFile("xdg/mozilla/firefox/profiles.ini", "[Profile0]\nPath=s\n");
  const std::string moved_prefs = os.WriteHomeFile("xdg/mozilla/firefox/s/prefs.js", "");
  EXPECT_EQ(FindFirefoxPrefsJs(), moved_prefs);

  // The legacy folder, once it exists, is the one Firefox uses, even before
  // it has profiles.ini and even when its profile lacks prefs.js.
  os.WriteHomeFile(".mozilla/firefox/Crash Reports/InstallTime", "1");
  EXPECT_EQ(FindFirefoxPrefsJs(), snap_prefs);
  os.WriteHomeFile(".mozilla/firefox/profiles.ini", "[Profile0]\nPath=q\n");
  EXPECT_FALSE(FindFirefoxPrefsJs().has_value());
  const std::string prefs = os.WriteHomeFile(".mozilla/firefox/q/prefs.js", "");
  EXPECT_EQ(FindFirefoxPrefsJs(), prefs);
}
#else
// The folder is found through the shell, so this test works in the real
// roaming application data: with a Firefox there already it only checks that
// the folder is found; otherwise it makes the folders, and removes exactly
// the ones it made.
namespace fs = std::filesystem;

TEST(FirefoxProfileWinTest, TheDataFolderIsMozillaFirefoxInTheRoamingAppData) {
  wchar_t app_data[MAX_PATH] = {};
  ASSERT_TRUE(
      SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, app_data)));
  const std::string mozilla = ovplatform::WideToUtf8(app_data).value() + "\\Mozilla";
  const std::string firefox = mozilla + "\\Firefox";
  if (ovplatform::GetOs().IsDirectory(firefox)) {
    EXPECT_EQ(FirefoxDataFolders(), std::vector<std::string>{firefox});
    GTEST_SKIP() << "a real Firefox folder is here; it is left alone";
  }
  EXPECT_TRUE(FirefoxDataFolders().empty());

  // The topmost folder this test makes, removed at the end.
  const fs::path made(fs::path(app_data) / (fs::exists(fs::path(app_data) / "Mozilla")
                                                ? L"Mozilla\\Firefox"
                                                : L"Mozilla"));
  struct Remove {
    const fs::path& path;
    ~Remove() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } remove{made};
  const fs::path profile = fs::path(app_data) / L"Mozilla\\Firefox\\Profiles\\x.default";
  fs::create_directories(fs::path(app_data) / L"Mozilla\\Firefox");
  EXPECT_EQ(FirefoxDataFolders(), std::vector<std::string>{firefox});

  // profiles.ini names its Path with '/', as Firefox writes it.
  std::ofstream(fs::path(app_data) / L"Mozilla\\Firefox\\profiles.ini")
      << "[Profile0]\r\nPath=Profiles/x.default\r\n";
  EXPECT_FALSE(FindFirefoxPrefsJs().has_value());
  fs::create_directories(profile);
  std::ofstream(profile / L"prefs.js").flush();
  const auto prefs = FindFirefoxPrefsJs();
  ASSERT_TRUE(prefs.has_value());
  EXPECT_TRUE(ovplatform::GetOs().FileExists(*prefs)) << *prefs;
  EXPECT_EQ(*prefs, firefox + "\\Profiles/x.default\\prefs.js");
}

#endif

}  // namespace
}  // namespace OVProxy
