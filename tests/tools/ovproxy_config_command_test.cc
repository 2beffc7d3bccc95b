#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>
#include <string>
#include <vector>

#include "command_run.h"
#include "ovtest/fake_config_sources.h"
#include "ovtest/fake_dal_bus.h"
#include "ovtest/task_environment.h"

namespace ovproxy {
namespace {

ovplatform::UserProxySettings Settings(const std::string& proxy, const std::string& bypass) {
  ovplatform::UserProxySettings settings;
  settings.proxy = proxy;
  settings.bypass = bypass;
  settings.backend = "environment";
  return settings;
}

TEST(OvproxyConfig, PrintsWhatTheModuleSees) {
  ovtest::FakeDalBus bus;  // --watch runs the module, which joins the bus
  ovtest::TaskEnvironment env("");
  ovtest::FakeUserProxySettings settings;
  ovtest::FakeDefaultBrowser browser("/usr/bin/chromium");
  settings.Set(Settings("http=p:3128", "*.corp"));

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
  Json::Value root;
  std::istringstream in(json.out);
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &root, nullptr));
  EXPECT_EQ(root["source"].asString(), "system (environment)");
  EXPECT_EQ(env.manager().GetRunnerId("ovproxy_config_runner"), OrvaTask::kInvalidRunnerId)
      << "the command removes the runner it made";

  EXPECT_EQ(RunCommand(RunConfigCommand, {"--watch", "--max-changes", "1"}).code, kExitOk);
  EXPECT_EQ(RunCommand(RunConfigCommand, {"--colour"}).code, kExitUsage);
  EXPECT_EQ(RunCommand(RunConfigCommand, {"--max-changes", "0"}).code, kExitUsage);
}

TEST(OvproxyConfig, ResolveWithoutProxyUsesTheMachineConfiguration) {
  ovtest::FakeDalBus bus;  // the module joins the data-sync bus
  ovtest::TaskEnvironment env("");
  ovtest::FakeUserProxySettings settings;
  ovtest::FakeDefaultBrowser browser;
  settings.Set(Settings("m:8080", "intranet"));
  const CommandRun run = RunCommand(RunResolveCommand, {"http://example.org/", "http://intranet/"});
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_EQ(run.out,
            "http://example.org/\tPROXY m:8080; DIRECT\n"
            "http://intranet/\tDIRECT\n");
}

}  // namespace
}  // namespace ovproxy
