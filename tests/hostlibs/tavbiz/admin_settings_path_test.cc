// Where the administrator's settings file is looked for, on the platform
// running the test. The library reads the real environment (its own copy of
// the operating-system layer), so the test sets the real variable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/os/ov_os.h"
#include "tavbiz/admin_settings_watcher.h"

namespace Tav {
namespace {

constexpr char kVariable[] = "ORVAPROXY_ADMIN_SETTINGS";

void SetVariable(const char* value) {
#if defined(_WIN32)
  // _putenv_s changes the system's environment too; "" removes the variable.
  _putenv_s(kVariable, value == nullptr ? "" : value);
#else
  if (value == nullptr) {
    unsetenv(kVariable);
  } else {
    setenv(kVariable, value, 1);
  }
#endif
}

class AdminSettingsPathTest : public ::testing::Test {
 protected:
  AdminSettingsPathTest() : saved_(ovplatform::GetOs().GetEnv(kVariable)) {}
  ~AdminSettingsPathTest() override { SetVariable(saved_ ? saved_->c_str() : nullptr); }

 private:
  std::optional<std::string> saved_;
};

TEST_F(AdminSettingsPathTest, TheVariableWinsOverTheMachineFolder) {
  SetVariable("/srv/custom.json");
  EXPECT_EQ(AdminSettingsPath(), "/srv/custom.json");
}

TEST_F(AdminSettingsPathTest, WithoutTheVariableTheFileIsInTheMachinesSettingsFolder) {
  SetVariable(nullptr);
#if defined(_WIN32)
  // Below %ProgramData%, in a folder named as on Linux.
  const std::string machine = ovplatform::GetOs().MachineSettingsDirectory();
  ASSERT_FALSE(machine.empty());
  EXPECT_EQ(AdminSettingsPath(), machine + "\\orvaproxy\\admin-settings.json");
#else
  EXPECT_EQ(AdminSettingsPath(), "/etc/orvaproxy/admin-settings.json");
#endif
}

}  // namespace
}  // namespace Tav
