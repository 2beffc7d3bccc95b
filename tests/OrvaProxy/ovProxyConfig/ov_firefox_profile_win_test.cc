// Firefox's folder on Windows is found through the shell, not through the
// operating-system layer, so this test works in the real roaming
// application data. It never touches a Firefox that is there already: then
// it only checks that the folder is found. Otherwise it makes the folders,
// and removes exactly the ones it made.
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"
#include "platform/os/ov_os.h"

namespace OVProxy {
namespace {

std::wstring Wide(const std::string& utf8) {
  return ovplatform::Utf8ToWide(utf8).value();
}

void WriteText(const std::string& path, const std::string& text) {
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

// Removes, at the end, the folders this test created.
class CreatedFolders {
 public:
  bool Create(const std::string& path) {
    if (!CreateDirectoryW(Wide(path).c_str(), nullptr)) return false;
    created_.push_back(path);
    return true;
  }
  ~CreatedFolders() {
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
      std::error_code ignored;
      std::filesystem::remove_all(std::filesystem::path(Wide(*it)), ignored);
    }
  }

 private:
  std::vector<std::string> created_;
};

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

  CreatedFolders folders;
  if (!ovplatform::GetOs().IsDirectory(mozilla)) {
    ASSERT_TRUE(folders.Create(mozilla));
  }
  ASSERT_TRUE(folders.Create(firefox));
  EXPECT_EQ(FirefoxDataFolders(), std::vector<std::string>{firefox});

  // profiles.ini names its Path with '/', as Firefox writes it.
  WriteText(firefox + "\\profiles.ini", "[Profile0]\r\nPath=Profiles/x.default\r\n");
  EXPECT_FALSE(FindFirefoxPrefsJs().has_value());
  ASSERT_TRUE(folders.Create(firefox + "\\Profiles"));
  ASSERT_TRUE(folders.Create(firefox + "\\Profiles\\x.default"));
  WriteText(firefox + "\\Profiles\\x.default\\prefs.js", "");
  const auto prefs = FindFirefoxPrefsJs();
  ASSERT_TRUE(prefs.has_value());
  EXPECT_TRUE(ovplatform::GetOs().FileExists(*prefs)) << *prefs;
  EXPECT_EQ(*prefs, firefox + "\\Profiles/x.default\\prefs.js");
}

}  // namespace
}  // namespace OVProxy
