// `ovproxy config`, and `ovproxy resolve` on the machine's configuration.
#include <gtest/gtest.h>

#include <string>

#include "command_run.h"
#include "ovtest/fake_config_sources.h"
#include "ovtest/fake_dal_bus.h"
#include "ovtest/task_environment.h"

namespace ovproxy {
namespace {

class OvproxyConfig : public ::testing::Test {
 protected:
  ovtest::FakeDalBus bus_;  // the module joins the data-sync bus
  ovtest::TaskEnvironment env_{""};
  ovtest::FakeUserProxySettings settings_;
  ovtest::FakeDefaultBrowser browser_{"/usr/bin/chromium"};
};

TEST_F(OvproxyConfig, PrintsWhatTheModuleSees) {
  settings_.Set({.proxy = "http=p:3128", .bypass = "*.corp", .backend = "environment"});
  const CommandRun text = RunCommand(RunConfigCommand, {});
  EXPECT_EQ(text.code, kExitOk) << text.err;
  EXPECT_EQ(text.out,
            "configuration:   ProxyConfig{type=MANUAL, http=PROXY p:3128, source=System}\n"
            "availability:    VALID\n"
            "source:          system (environment)\n"
            "bypass:          *.corp\n"
            "default browser: Other (/usr/bin/chromium)\n");
  const CommandRun json = RunCommand(RunConfigCommand, {"--json"});
  ASSERT_EQ(json.code, kExitOk) << json.err;
  EXPECT_EQ(ParseJson(json.out)["source"], "system (environment)");
  EXPECT_EQ(env_.manager().GetRunnerId("ovproxy_config_runner"), OrvaTask::kInvalidRunnerId)
      << "the command removes the runner it made";

  EXPECT_EQ(RunCommand(RunConfigCommand, {"--watch", "--max-changes", "1"}).code, kExitOk);
  EXPECT_EQ(RunCommand(RunConfigCommand, {"--colour"}).code, kExitUsage);
  EXPECT_EQ(RunCommand(RunConfigCommand, {"--max-changes", "0"}).code, kExitUsage);
}

TEST_F(OvproxyConfig, ResolveWithoutProxyUsesTheMachineConfiguration) {
  settings_.Set({.proxy = "m:8080", .bypass = "intranet", .backend = "environment"});
  const CommandRun run = RunCommand(RunResolveCommand, {"http://example.org/", "http://intranet/"});
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_EQ(run.out, "http://example.org/\tPROXY m:8080; DIRECT\nhttp://intranet/\tDIRECT\n");
}

}  // namespace
}  // namespace ovproxy
