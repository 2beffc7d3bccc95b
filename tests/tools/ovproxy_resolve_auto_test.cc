// `ovproxy resolve --pac-url / --auto-detect` end to end: against a local
// server through the module's PAC engine, with the local fallback for every
// kind of failure; on Windows, on the system's own services.
#include <gtest/gtest.h>

#include "command_run.h"
#include "ovtest/task_environment.h"
#if !defined(_WIN32)
#include <httplib.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <chrono>
#include <fstream>

#include "ovtest/child_process.h"
#include "ovtest/fake_dal_bus.h"
#include "ovtest/fake_environment_os.h"
#include "ovtest/scoped_temp_dir.h"
#include "platform/wpad/ov_wpad_discovery.h"
#endif

namespace ovproxy {
namespace {

#if defined(_WIN32)
// Wine 8's services: WinINet's DetectAutoProxyUrl fails (120) and WinHTTP's
// resolver refuses every request at once (12178). Auto-detection must still
// answer: the system resolver's failure, with the local resolver's DIRECT.
TEST(OvproxyResolveOnWindows, AutoDetectionWithoutDiscoveryOrSystemResolverAnswersDirect) {
  ovtest::TaskEnvironment env("");
  const CommandRun run =
      RunCommand(RunResolveCommand, {"--auto-detect", "--json", "http://example.org/a"});
  EXPECT_EQ(run.code, kExitFailed) << "the failure is reported: " << run.err;
  EXPECT_NE(run.err.find("answered by the local resolver"), std::string::npos) << run.err;
  Json::Value answers = ParseJson(run.out);
  Json::Value road;
  answers[0].removeMember("road", &road);
  std::string steps;
  for (const Json::Value& step : road["steps"]) steps += step["step"].asString() + " ";
  EXPECT_EQ(steps, "config resolver failed fallback answer ");
  EXPECT_EQ(CompactJson(Json::writeString(Json::StreamWriterBuilder(), answers)),
            R"([{"error":203,"servers":[{"host":"","port":0,"scheme":"DIRECT"}],)"
            R"("source":"override","url":"http://example.org/a"}])");
}

#else

class NothingFound final : public ovplatform::WpadDiscovery {
 public:
  ovplatform::WpadResult Detect(uint32_t) override { return {}; }
};

constexpr char kDnsPac[] =
    "function FindProxyForURL(url, host) {\n"
    "  return isInNet(dnsResolve(host), '10.0.0.0', '255.0.0.0') ? 'PROXY corp:8080' : 'DIRECT';\n"
    "}\n";

class OvproxyResolveAuto : public ::testing::Test {
 protected:
  OvproxyResolveAuto() {
    // /dns.pac routes by DNS: the in-process half answers it without DNS,
    // so the race waits for the half that looks names up.
    server_.Get("/dns.pac", [](const httplib::Request&, httplib::Response& r) {
      r.set_content(kDnsPac, "application/x-ns-proxy-autoconfig");
    });
    // /ok.pac answers by host; /broken.pac does not load.
    server_.Get(R"(/(ok|broken)\.pac)", [](const httplib::Request& request, httplib::Response& r) {
      r.set_content(request.matches[1] == "ok"
                        ? "function FindProxyForURL(url, host) {\n  return host == \"example.org\""
                          " ? \"PROXY p:3128; SOCKS5 s:1080\" : \"DIRECT\";\n}\n"
                        : "function FindProxyForURL(url, host) { return \"DIRECT\"; ",
                    "application/x-ns-proxy-autoconfig");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    listener_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
    ovplatform::OverrideWpadDiscoveryForTesting(std::make_shared<NothingFound>());
  }
  ~OvproxyResolveAuto() override {
    ovplatform::OverrideWpadDiscoveryForTesting(std::nullopt);
    server_.stop();
    listener_.join();
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread listener_;
};

TEST_F(OvproxyResolveAuto, ScriptAnswersAndFallbacksToTheLocalResolver) {
  const struct {
    const char* args;  // after "example.org"; paths go to the local server
    int code;
    const char* answer;
    const char* err;
  } cases[] = {
      // The script's answers, with bypass rules and DIRECT as last resort.
      {"--pac-url /ok.pac --bypass *.corp http://other/ a.corp", kExitOk,
       "PROXY p:3128; SOCKS5 s:1080; DIRECT\nhttp://other/\tDIRECT\nhttps://a.corp\tDIRECT", ""},
      {"--pac-url /missing.pac", kExitFailed, "DIRECT",
       "failed with e_pac_unavailable (202), answered by the local resolver"},
      // Both halves fail on a script that does not load.
      {"--pac-url /broken.pac", kExitFailed, "DIRECT", "failed with e_resolve_failed (203)"},
      // As callers receive it: the fallback's answer travels with the
      // failure code, and DIRECT is appended to successes only.
      {"--pac-url /missing.pac --proxy fallback:80", kExitFailed, "PROXY fallback:80",
       "answered by the local resolver"},
      {"--auto-detect", kExitFailed, "DIRECT", "failed with e_pac_unavailable (202)"},
      {"--auto-detect --pac-url /ok.pac", kExitOk, "PROXY p:3128; SOCKS5 s:1080; DIRECT", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    ovtest::TaskEnvironment env("");
    std::vector<std::string> args = {"example.org"};
    std::istringstream words(c.args);
    for (std::string word; words >> word;) args.push_back(word[0] == '/' ? Url(word) : word);
    const CommandRun run = RunCommand(RunResolveCommand, args);
    EXPECT_EQ(run.code, c.code) << run.err;
    EXPECT_EQ(run.out, std::string("https://example.org\t") + c.answer + "\n");
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
}

// An address literal is itself in both halves of the race (localhost is
// bypassed before any script runs).
TEST_F(OvproxyResolveAuto, DnsScriptsAnswerAsTheScriptMeans) {
  ovtest::TaskEnvironment env("");
  const CommandRun run = RunCommand(
      RunResolveCommand, {"--pac-url", Url("/dns.pac"), "http://localhost/", "http://10.1.2.3/"});
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_EQ(run.out, "http://localhost/\tDIRECT\nhttp://10.1.2.3/\tPROXY corp:8080; DIRECT\n");
}

// The built tool in a private mount namespace whose hosts file holds a test
// name and whose resolv.conf names 127.0.0.1: nothing leaves the machine.
// The in-process half answers intranet.test without DNS (DIRECT), so the
// race waits for the system-shaped half, which looks the name up.
TEST_F(OvproxyResolveAuto, DnsScriptsInAPrivateNamespace) {
  ovtest::ScopedTempDir dir;
  const std::string hosts = dir.path() + "/hosts";
  const std::string resolv = dir.path() + "/resolv.conf";
  const std::string nsswitch = dir.path() + "/nsswitch.conf";
  for (const auto& [path, text] :
       {std::pair{hosts, "127.0.0.1 localhost\n10.20.30.40 intranet.test\n"},
        std::pair{resolv, "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"},
        std::pair{nsswitch, "hosts: files dns\n"}}) {
    std::ofstream(path) << text;
  }
  const std::string inner = "mount --bind " + hosts + " /etc/hosts && mount --bind " + resolv +
                            " /etc/resolv.conf && mount --bind " + nsswitch +
                            " /etc/nsswitch.conf && exec " OV_OVPROXY_PROGRAM
                            " resolve --pac-url " +
                            Url("/dns.pac") + " http://intranet.test/ http://localhost/";
  ovtest::ChildProcess child(
      "/bin/sh",
      {"-c", "if unshare -rm true 2>/dev/null; then exec unshare -rm sh -c '" + inner +
                 "'; else echo no-namespace; fi"},
      {});
  ASSERT_TRUE(child.started());
  const std::optional<std::string> first = child.ReadLine(std::chrono::seconds(30));
  if (first == "no-namespace") GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(first, "http://intranet.test/\tPROXY corp:8080; DIRECT");
  EXPECT_EQ(child.ReadLine(std::chrono::seconds(30)), "http://localhost/\tDIRECT");
}

// The module's own record of the road: printed as steps by --explain,
// carried by --json. Whichever resolver the script reached first, a script
// that does not load ends in the local resolver's answer with the failure.
TEST_F(OvproxyResolveAuto, RoadsAsExplainedAndAsJson) {
  ovtest::TaskEnvironment env("");
  const CommandRun explained =
      RunCommand(RunResolveCommand, {"--explain", "--pac-url", Url("/ok.pac"), "example.org"});
  EXPECT_EQ(explained.code, kExitOk) << explained.err;
  EXPECT_EQ(explained.out.rfind("https://example.org\n  1. configuration: pac, from override\n", 0),
            0u)
      << explained.out;
  EXPECT_NE(explained.out.find(". answer: PROXY p:3128; SOCKS5 s:1080; DIRECT (e_success) after "),
            std::string::npos)
      << explained.out;

  const CommandRun json = RunCommand(
      RunResolveCommand, {"--json", "--pac-url", Url("/missing.pac"), "example.org", "http://b/"});
  for (const Json::Value& answer : ParseJson(json.out)) {
    const Json::Value& steps = answer["road"]["steps"];
    ASSERT_GE(steps.size(), 4u) << json.out;
    EXPECT_EQ(steps[0]["step"], "config");
    EXPECT_EQ(steps[steps.size() - 3]["step"], "failed");
    EXPECT_EQ(steps[steps.size() - 2]["step"], "fallback");
    EXPECT_EQ(steps[steps.size() - 1]["code"], 202);
  }
}

// The module on this machine's configuration as a new user has it: the
// system source reads the environment (no desktop, no browser association),
// and the PAC script named by auto_proxy comes from the local server.
TEST_F(OvproxyResolveAuto, MachineConfigurationFromTheEnvironment) {
  ovtest::FakeDalBus bus;
  ovtest::ScopedTempDir dir;
  ovtest::FakeEnvironmentOs os;
  for (const char* name :
       {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_DIRS"}) {
    os.SetEnv(name, dir.path());
  }
  for (const char* name : {"XDG_CURRENT_DESKTOP", "KDE_FULL_SESSION", "DESKTOP_SESSION",
                           "http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "HTTP_PROXY",
                           "HTTPS_PROXY", "FTP_PROXY", "ALL_PROXY", "NO_PROXY"}) {
    os.UnsetEnv(name);
  }
  os.SetEnv("auto_proxy", Url("/ok.pac"));
  os.SetEnv("no_proxy", ".corp.example");

  // The second run finds the first one's answers in the host cache.
  for (const auto& [mode, way] :
       {std::pair{"--timeout=20000", "bypass"}, std::pair{"--async", "host-cache"}}) {
    SCOPED_TRACE(mode);
    ovtest::TaskEnvironment env("");
    const CommandRun run = RunCommand(
        RunResolveCommand, {"--json", mode, "example.org", "http://other/", "a.corp.example"});
    EXPECT_EQ(run.code, kExitOk) << run.err;
    const Json::Value root = ParseJson(run.out);
    ASSERT_EQ(root.size(), 3u);
    const char* hosts[] = {"p", "", ""};
    for (Json::ArrayIndex i = 0; i < 3; ++i) {
      EXPECT_EQ(root[i]["error"], 0) << i;
      EXPECT_EQ(root[i]["servers"][0]["host"].asString(), hosts[i]) << i;
      EXPECT_EQ(root[i]["source"], "System");
    }
    EXPECT_EQ(root[2]["road"]["steps"][way == std::string("bypass") ? 1 : 0]["step"], way)
        << run.out;
  }
}

#endif

}  // namespace
}  // namespace ovproxy
