// The ovproxy subcommands in process: fetch-pac, resolve on a configuration
// of its own and on the machine's, config, sync dump; the telemetry file.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "OrvaProxy/o_dal_proxy_info_mode.h"
#include "OrvaProxy/ov_proxy_sync_json.h"
#include "OrvaProxy/ov_telemetry_reporter.h"
#include "command_run.h"
#include "orvatask/orva_task.h"
#include "ovproxy_telemetry_file_module.h"
#include "ovtest/fake_auto_proxy_detector.h"
#include "ovtest/fake_config_sources.h"
#include "ovtest/fake_dal_bus.h"
#include "ovtest/fake_environment_os.h"
#include "ovtest/fake_feature_sources.h"
#include "ovtest/local_pac_server.h"
#include "ovtest/manual_clock.h"
#include "ovtest/scoped_temp_dir.h"
#include "ovtest/task_environment.h"
#include "platform/autoproxy/ov_auto_proxy_url_detector.h"

namespace ovproxy {
namespace {

namespace ov = OVProxy;
using ovtest::LocalPacServer;

class OvproxyFetchPac : public ::testing::Test {
 protected:
  OvproxyFetchPac() {
    experiments_.Enable("UseFileXfer");
    ovplatform::OverrideAutoProxyUrlDetectorForTesting(detector_);
  }
  ~OvproxyFetchPac() override { ovplatform::OverrideAutoProxyUrlDetectorForTesting(std::nullopt); }

  ovtest::TaskEnvironment env_{""};
  ovtest::FakeExperimentMgr experiments_;
  LocalPacServer server_;
  std::shared_ptr<ovtest::FakeAutoProxyDetector> detector_ =
      std::make_shared<ovtest::FakeAutoProxyDetector>();
};

TEST_F(OvproxyFetchPac, ReportsEachStepAndPrintsTheScript) {
  const std::string size = std::to_string(std::string(LocalPacServer::kPacBody).size());
  const std::string etag = server_.Url("/etag.pac");
  const struct {
    std::vector<std::string> args;
    int code;
    std::string out;
    std::vector<std::string> reported;
  } cases[] = {
      {{etag, "--twice"},
       kExitOk,
       LocalPacServer::kPacBody,
       {"pac url: " + etag + " (configured)", "download: ok, " + size + " bytes",
        "verification: passed", "repeat download: not modified, " + size + " bytes (kept copy)"}},
      {{server_.Url("/missing.pac")},
       kExitFailed,
       "",
       {"download: failed (xfer download stream failure)"}},
      // A server answering "not modified" to a first request gave no script.
      {{server_.Url("/not-modified.pac")},
       kExitFailed,
       "",
       {"download: failed (xfer download no update, no kept copy)"}},
      {{"--auto-detect"}, kExitFailed, "", {"pac url: none found (DHCP and DNS)"}},
      {{}, kExitUsage, "", {"a URL or --auto-detect is required", "usage: ovproxy fetch-pac"}},
  };
  for (const auto& c : cases) {
    const CommandRun run = RunCommand(RunFetchPacCommand, c.args);
    EXPECT_EQ(run.code, c.code) << run.err;
    EXPECT_EQ(run.out, c.out);
    for (const std::string& line : c.reported) {
      EXPECT_NE(run.err.find(line), std::string::npos) << line << "\n" << run.err;
    }
  }
}

TEST_F(OvproxyFetchPac, DetectedUrlIsNamedByItsSourceAndTheScriptWrittenToAFile) {
  detector_->SetAnswer(ovplatform::PROXY_AUTO_DETECT_TYPE_DNS_A, server_.Url("/lastmod.pac"));
  const std::string file = ::testing::TempDir() + "/ovproxy_fetch_pac_test.pac";
  const CommandRun run = RunCommand(RunFetchPacCommand, {"--auto-detect", "-o", file});
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_NE(run.out.find("pac url: " + server_.Url("/lastmod.pac") + " (dns)"), std::string::npos)
      << run.out;
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  EXPECT_EQ(text.str(), LocalPacServer::kPacBody);
}

TEST(OvproxyResolve, AnswersEachUrlWithBypassAndDirectLastResort) {
  ovtest::ScopedTempDir dir;
  const std::string path = dir.path() + "/urls.txt";
  std::ofstream(path) << "# hosts\n\n  b.example  \nc.example\r\n";
  // One after the other and all at once: the same answers, URLs from a file
  // after those of the command line, and the module's runner gone afterwards.
  for (const char* mode : {"--timeout=5000", "--async"}) {
    ovtest::TaskEnvironment env("");
    const CommandRun run =
        RunCommand(RunResolveCommand, {mode, "--proxy", "http=p:3128;https=s:3129",
                                       "--bypass=*.corp;<local>", "https://a.corp/x", "example.org",
                                       "http://localhost:8080/", "http://plain/", "-f", path});
    EXPECT_EQ(run.code, kExitOk) << run.err;
    EXPECT_EQ(run.out,
              "https://a.corp/x\tDIRECT\n"
              "https://example.org\tPROXY p:3128; DIRECT\n"
              "http://localhost:8080/\tDIRECT\n"
              "http://plain/\tDIRECT\n"
              "https://b.example\tPROXY p:3128; DIRECT\n"
              "https://c.example\tPROXY p:3128; DIRECT\n")
        << mode;
    EXPECT_EQ(env.manager().GetRunnerId("proxy_resolve_runner_name"), OrvaTask::kInvalidRunnerId)
        << "the command removes the runner it made";
  }
}

// A failed URL, wrong usage (status 2 and the usage text), no task library.
TEST(OvproxyResolve, FailuresAndTheirExitStatuses) {
  ovtest::TaskEnvironment env("");
  const CommandRun json =
      RunCommand(RunResolveCommand, {"--json", "--proxy", "a:80;b:81", "--", "x.example", ""});
  EXPECT_EQ(json.code, kExitFailed) << "the empty URL fails";
  Json::Value answers = ParseJson(json.out);
  // The road the module recorded: the configuration, the local resolver,
  // the answer as delivered; none for the URL never asked.
  Json::Value road, unasked;
  answers[0].removeMember("road", &road);
  std::string steps;
  for (const Json::Value& step : road["steps"]) steps += step["step"].asString() + " ";
  EXPECT_EQ(steps, "config resolver answer ");
  EXPECT_EQ(road["steps"][2]["answer"], "PROXY a:80; DIRECT");
  answers[1].removeMember("road", &unasked);
  EXPECT_TRUE(unasked.isNull());
  EXPECT_EQ(CompactJson(Json::writeString(Json::StreamWriterBuilder(), answers)),
            R"([{"error":0,"servers":[{"host":"a","port":80,"scheme":"HTTP"},)"
            R"({"host":"","port":0,"scheme":"DIRECT"}],"source":"override",)"
            R"("url":"https://x.example"},)"
            R"({"error":2,"servers":[],"source":"override","url":""}])");
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"--proxy", "p:80"},  // no URL
      {"--proxy"},          // no value
      {"--proxy", "p:80", "--colour", "http://x/"},
      {"--proxy", "=;=", "http://x/"},  // nothing usable in it
      {"--proxy", "p:80", "--bypass"},
      {"--timeout", "soon", "http://x/"},
      {"--timeout=-1", "http://x/"},
      {"-f", "/nonexistent/urls.txt"},
  };
  for (const auto& args : wrong) {
    const CommandRun run = RunCommand(RunResolveCommand, args);
    EXPECT_EQ(run.code, kExitUsage) << ::testing::PrintToString(args);
    EXPECT_NE(run.err.find("usage: ovproxy resolve"), std::string::npos);
    EXPECT_EQ(run.out, "");
  }
  OrvaTask::ScopedOVTManagerOverride none(nullptr);
  const CommandRun run = RunCommand(RunResolveCommand, {"--proxy", "p:80", "http://x/"});
  EXPECT_EQ(run.code, kExitFailed);
  EXPECT_NE(run.err.find("could not be initialised"), std::string::npos) << run.err;
}

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

TEST_F(OvproxyConfig, AddressRangesAsWrittenAndAnsweredDirect) {
  settings_.Set(
      {.proxy = "m:8080", .bypass = "10.0.0.0/8;fd00::1;10.0.0.0/33", .backend = "gnome"});
  const CommandRun text = RunCommand(RunConfigCommand, {});
  EXPECT_NE(text.out.find("bypass:          10.0.0.0/8;fd00::1;10.0.0.0/33\n"
                          "bypass inert:    10.0.0.0/33 (not address ranges)\n"),
            std::string::npos)
      << text.out;
  const CommandRun run = RunCommand(
      RunResolveCommand, {"http://10.1.2.3/", "http://[fd00::1]:8443/", "http://11.0.0.1/"});
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_EQ(run.out,
            "http://10.1.2.3/\tDIRECT\nhttp://[fd00::1]:8443/\tDIRECT\n"
            "http://11.0.0.1/\tPROXY m:8080; DIRECT\n");
}

#if !defined(_WIN32)
TEST_F(OvproxyConfig, FirefoxProfileInTheXdgFolder) {
  ovtest::FakeEnvironmentOs os;
  os.WriteHomeFile(".config/mozilla/firefox/profiles.ini", "[Profile0]\nPath=p\n");
  const std::string prefs = os.WriteHomeFile(
      ".config/mozilla/firefox/p/prefs.js",
      "user_pref(\"network.proxy.type\", 1);\nuser_pref(\"network.proxy.http\", \"f\");\n"
      "user_pref(\"network.proxy.http_port\", 3128);\n");
  browser_.SetProgram("/usr/lib/firefox-esr/firefox-esr");
  const CommandRun json = RunCommand(RunConfigCommand, {"--json"});
  ASSERT_EQ(json.code, kExitOk) << json.err;
  const Json::Value config = ParseJson(json.out);
  EXPECT_EQ(config["source"], "Firefox (" + prefs + ")");
  EXPECT_EQ(config["config"], "ProxyConfig{type=MANUAL, http=PROXY f:3128, source=Firefox}");
}
#endif

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
