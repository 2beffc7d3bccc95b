#include "platform/browser/ov_default_browser.h"

#include <gtest/gtest.h>

#include "ovtest/fake_environment_os.h"
#include "platform/os/ov_os.h"

namespace ovplatform {
namespace {

TEST(DefaultBrowserTest, ExecProgram) {
  const std::pair<const char*, const char*> cases[] = {
      {"[Desktop Entry]\nExec=\"/opt/My Browser/browser\" --new-window %U\n",
       "/opt/My Browser/browser"},
      {"[Desktop Entry]\nExec=env MOZ_ENABLE_WAYLAND=1 -u X /usr/lib/firefox/firefox %u\n",
       "/usr/lib/firefox/firefox"},
      {"[Desktop Entry]\nExec=/usr/bin/flatpak run --branch=stable --command=firefox "
       "org.mozilla.firefox @@u %u @@\n",
       "/usr/bin/flatpak org.mozilla.firefox"},
      {"[Desktop Action new]\nExec=other\n[Desktop Entry]\nExec[de]=x\nName=y\n", ""},
      {"[Desktop Entry]\nExec=\"unterminated\\\" quote\n", "unterminated\" quote"},
  };
  for (const auto& [text, program] : cases) EXPECT_EQ(DesktopFileProgram(text), program) << text;
}

#if !defined(_WIN32)
// The XDG search order: the user's config folder first; an association to a
// handler that is not installed gives way to the next list; the desktop
// file is found in the data folders.
TEST(DefaultBrowserTest, SearchesTheXdgFoldersInOrder) {
  ovtest::FakeEnvironmentOs os;
  const std::string root = os.home();
  os.SetEnv("XDG_CONFIG_DIRS", root + "/etc:relative/ignored");
  os.SetEnv("XDG_DATA_DIRS", root + "/usr");
  os.WriteHomeFile("usr/applications/chromium.desktop",
                   "[Desktop Entry]\nExec=/usr/bin/chromium %U\n");
  os.WriteHomeFile("usr/applications/firefox.desktop",
                   "[Desktop Entry]\nExec=/usr/bin/firefox %u\n");
  os.WriteHomeFile("usr/applications/mimeapps.list",
                   "[Default Applications]\nx-scheme-handler/http=chromium.desktop\n");
  EXPECT_EQ(GetDefaultBrowserLocator().HttpHandler()->program, "/usr/bin/chromium");

  os.WriteHomeFile("etc/mimeapps.list",
                   "[Default Applications]\nx-scheme-handler/http=firefox.desktop\n");
  EXPECT_EQ(GetDefaultBrowserLocator().HttpHandler()->program, "/usr/bin/firefox");

  // ~/.config wins, but names a handler that is missing, then one in
  // ~/.local/share/applications.
  os.WriteHomeFile(
      ".config/mimeapps.list",
      "[Default Applications]\nx-scheme-handler/http=gone.desktop;../x.desktop;own.desktop\n");
  os.WriteHomeFile(".local/share/applications/own.desktop", "[Desktop Entry]\nExec=own-browser\n");
  const auto handler = GetDefaultBrowserLocator().HttpHandler();
  ASSERT_TRUE(handler.has_value());
  EXPECT_EQ(handler->desktop_id, "own.desktop");
  EXPECT_EQ(handler->program, "own-browser");

  os.SetEnv("XDG_CONFIG_HOME", root + "/empty");
  os.SetEnv("XDG_CONFIG_DIRS", root + "/empty");
  os.SetEnv("XDG_DATA_DIRS", root + "/empty");
  EXPECT_FALSE(GetDefaultBrowserLocator().HttpHandler().has_value());
}
#else
// The shell's association for "http" on this machine: Wine answers its
// winebrowser.exe, Windows the user's browser or nothing on a bare
// installation; so the test checks what any answer must hold.
TEST(ShellDefaultBrowserTest, AnAnswerNamesAnExistingExecutable) {
  const auto handler = SystemDefaultBrowserLocator().HttpHandler();
  if (!handler) GTEST_SKIP() << "no program is associated with http here";
  EXPECT_TRUE(GetOs().FileExists(handler->program)) << handler->program;
  EXPECT_FALSE(GetOs().IsDirectory(handler->program)) << handler->program;
  EXPECT_TRUE(handler->desktop_file.empty());
}
#endif

}  // namespace
}  // namespace ovplatform
