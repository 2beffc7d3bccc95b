// `ovproxy config`, `ovproxy sync dump` and the telemetry file module.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "OrvaProxy/o_dal_proxy_info_mode.h"
#include "OrvaProxy/ov_proxy_sync_json.h"
#include "OrvaProxy/ov_telemetry_reporter.h"
#include "command_run.h"
#include "ovproxy_telemetry_file_module.h"
#include "ovtest/fake_config_sources.h"
#include "ovtest/fake_dal_bus.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace ovproxy {
namespace {

namespace ov = OVProxy;

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

TEST(OvproxySyncCommandTest, PrintsWhatAPeerSharesOrThatThereIsNone) {
  ovtest::FakeDalBus bus;
  bus.SetSnapshotAnswer(std::nullopt);
  const CommandRun none = RunCommand(RunSyncCommand, {"dump"});
  EXPECT_EQ(none.code, kExitOk);
  EXPECT_EQ(none.out, "no other process shares proxy data on this bus\n");
  EXPECT_EQ(CompactJson(RunCommand(RunSyncCommand, {"dump", "--json"}).out), R"({"peer":false})");
  EXPECT_TRUE(bus.sent().empty()) << "dumping sends nothing of its own";
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"show"},
                           std::vector<std::string>{"dump", "--xml"}}) {
    EXPECT_EQ(RunCommand(RunSyncCommand, args).code, kExitUsage);
  }

  // A peer holding a PAC configuration and one cached host.
  ov::oDALProxyInfoMode peer(false);
  ov::ovProxyConfig config = ov::ovProxyConfig::CreateFromCustomPacURL("http://wpad.corp/p.pac");
  config.setPacContent(std::string(1234, 'x'));
  Json::Value update;
  update["operation"] = "updateConfig";
  update["config"] = ov::config_to_json(config);
  peer.onSyncData(ov::kProxyInfoModeId, ov::kProxyConfigFieldId, ov::sync_json::Write(update));
  ov::ovProxyInfo answer;
  answer.UseProxyServer(ov::ovProxyServer("proxy.corp", 3128, "HTTP"));
  Json::Value cache;
  cache["operation"] = "updateHostCacheMap";
  cache["cacheMap"] = ov::host_cache_to_json({{"intranet.corp", answer}});
  peer.onSyncData(ov::kProxyInfoModeId, ov::kProxyHostCacheFieldId, ov::sync_json::Write(cache));
  bus.SetSnapshotAnswer(peer.getSyncData());

  const CommandRun text = RunCommand(RunSyncCommand, {"dump"});
  EXPECT_EQ(text.code, kExitOk);
  EXPECT_EQ(
      text.out,
      "configuration: ProxyConfig{type=PAC_SCRIPT, url=http://wpad.corp/p.pac, source=System}\n"
      "  pac url: http://wpad.corp/p.pac\n  pac size: 1234 bytes\npac socks: not shared\n"
      "host cache enabled: not shared\ncached hosts: 1\n"
      "  intranet.corp -> PROXY proxy.corp:3128\n");
  EXPECT_EQ(CompactJson(RunCommand(RunSyncCommand, {"dump", "--json"}).out),
            R"({"config":{"pac_size":1234,"pac_url":"http://wpad.corp/p.pac",)"
            R"("text":"ProxyConfig{type=PAC_SCRIPT, url=http://wpad.corp/p.pac, source=System}"},)"
            R"("host_cache_enabled":null,"hosts":[{"answer":"PROXY proxy.corp:3128",)"
            R"("host":"intranet.corp"}],"pac_socks":null,"peer":true})");
}

class TestReporter : public OVProxy::ovTelemetryReporter {};

// The reporter's records, through the message-queue service, into lines.
TEST(TelemetryFileModuleTest, WritesEachRecordAsOneJsonLine) {
  ovtest::ManualClock clock;  // 2026-01-01T00:00:00Z
  auto out = std::make_shared<std::ostringstream>();
  ASSERT_TRUE(TavMQ_GetService()->RegisterModule(std::make_shared<TelemetryFileModule>(out)));
  TestReporter reporter;
  reporter.reportLatency(23, 120, "lbl \"quoted\"", 2);
  reporter.reportEvent(4, 12029);
  reporter.reportConfigSummary(OVProxy::ovProxyConfig::CreateAutoDetect());
  TavMQ_GetService()->UnregisterModule(orvaus::kTelemetryModuleId);
  reporter.reportEvent(1, 0);  // no module any more: not written
  EXPECT_EQ(out->str(),
            R"({"fields":{"result_kind":2},"kind":"latency","label":"lbl \"quoted\"","metric":23,)"
            R"("process":3,"time_ms":1767225600000,"value":120})"
            "\n"
            R"({"event":39,"fields":{"code":4,"value":12029},"kind":"event",)"
            R"("time_ms":1767225600000})"
            "\n"
            R"({"event":38,"fields":{"bypass":0,"config_kind":2,"source":1},"kind":"event",)"
            R"("time_ms":1767225600000})"
            "\n");
}

}  // namespace
}  // namespace ovproxy
