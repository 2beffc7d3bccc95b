// The shell's association for "http" on the machine running the test. Wine
// answers its own winebrowser.exe; a Windows machine its user's browser, or
// nothing on a bare installation; so the test checks what any answer must
// hold rather than a fixed program.
#include <gtest/gtest.h>

#include "platform/browser/ov_default_browser.h"
#include "platform/os/ov_os.h"

namespace ovplatform {
namespace {

TEST(ShellDefaultBrowserTest, AnAnswerNamesAnExistingExecutable) {
  const auto handler = SystemDefaultBrowserLocator().HttpHandler();
  if (!handler) GTEST_SKIP() << "no program is associated with http here";
  EXPECT_TRUE(GetOs().FileExists(handler->program)) << handler->program;
  EXPECT_FALSE(GetOs().IsDirectory(handler->program)) << handler->program;
  EXPECT_TRUE(handler->desktop_file.empty());
}

}  // namespace
}  // namespace ovplatform
