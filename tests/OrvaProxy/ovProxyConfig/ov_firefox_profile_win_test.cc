// Firefox's folder on Windows is found through the shell, so this test works
// in the real roaming application data. With a Firefox there already it only
// checks that the folder is found; otherwise it makes the folders, and
// removes exactly the ones it made.
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"
#include "platform/os/ov_os.h"

namespace OVProxy {
namespace {

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

}  // namespace
}  // namespace OVProxy
