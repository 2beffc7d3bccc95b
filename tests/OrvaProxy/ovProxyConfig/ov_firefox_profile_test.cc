#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"

#include <gtest/gtest.h>

#include "ovtest/fake_environment_os.h"

namespace OVProxy {
namespace {

TEST(FirefoxProfileTest, ChoosesTheProfile) {
  struct Case {
    const char* name;
    const char* ini;
    const char* path;  // nullptr: none
    bool relative;
  };
  const Case cases[] = {
      {"last profile when none is marked",
       "[Profile0]\nPath=a\nIsRelative=0\n\n[Profile1]\nPath=b\n", "b", true},
      {"default marker wins over order",
       "; comment\n[Profile0]\r\nName=work\r\nPath = /abs/w \r\nIsRelative=0\r\nDefault=1\r\n"
       "[Profile1]\nPath=b\nIsRelative=1\n",
       "/abs/w", false},
      {"install section wins",
       "[Install4F96D1932A9F858E]\nDefault=Profiles/x.default-release\nLocked=1\n"
       "[Profile1]\nPath=Profiles/y\nDefault=1\n[Profile0]\nPath=Profiles/x.default-release\n",
       "Profiles/x.default-release", true},
      {"sections other than profiles are ignored", "[Backup]\nPath=zzz\n", nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto profile = ChooseFirefoxProfile(c.ini);
    if (c.path == nullptr) {
      EXPECT_FALSE(profile.has_value());
      continue;
    }
    ASSERT_TRUE(profile.has_value());
    EXPECT_EQ(profile->path, c.path);
    EXPECT_EQ(profile->relative, c.relative);
  }
}

#if !defined(_WIN32)
// The Linux folders; Windows has one (ov_firefox_profile_win_test.cc).
TEST(FirefoxProfileTest, FindsPrefsInTheFirstDataFolderWithAnIndex) {
  ovtest::FakeEnvironmentOs os;
  EXPECT_FALSE(FindFirefoxPrefsJs().has_value());

  // Only the snap folder has profiles: it is used.
  os.WriteHomeFile("snap/firefox/common/.mozilla/firefox/profiles.ini", "[Profile0]\nPath=p\n");
  const std::string snap_prefs =
      os.WriteHomeFile("snap/firefox/common/.mozilla/firefox/p/prefs.js", "");
  EXPECT_EQ(FindFirefoxPrefsJs(), snap_prefs);

  // The package's folder comes first, even when its profile lacks prefs.js.
  os.WriteHomeFile(".mozilla/firefox/profiles.ini", "[Profile0]\nPath=q\n");
  EXPECT_FALSE(FindFirefoxPrefsJs().has_value());
  const std::string prefs = os.WriteHomeFile(".mozilla/firefox/q/prefs.js", "");
  EXPECT_EQ(FindFirefoxPrefsJs(), prefs);
}
#endif

}  // namespace
}  // namespace OVProxy
