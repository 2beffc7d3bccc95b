// `ovproxy resolve --pac-url / --auto-detect` against a local server, end to
// end through the real system-shaped service and the module's PAC engine:
// the script's answers, and the local fallback for every kind of failure.
#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "command_run.h"
#include "ovtest/task_environment.h"
#include "platform/wpad/ov_wpad_discovery.h"

namespace ovproxy {
namespace {

class NothingFound final : public ovplatform::WpadDiscovery {
 public:
  ovplatform::WpadResult Detect(uint32_t) override { return {}; }
};

class OvproxyResolveAuto : public ::testing::Test {
 protected:
  OvproxyResolveAuto() {
    server_.Get("/ok.pac", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(
          "function FindProxyForURL(url, host) {\n"
          "  return host == \"example.org\" ? \"PROXY p:3128; SOCKS5 s:1080\" : \"DIRECT\";\n"
          "}\n",
          "application/x-ns-proxy-autoconfig");
    });
    server_.Get("/broken.pac", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("function FindProxyForURL(url, host) { return \"DIRECT\"; ",
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

TEST_F(OvproxyResolveAuto, EveryUrlGetsAnAnswerLine) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out;
    const char* err;
  };
  const Case cases[] = {
      {{"--pac-url", Url("/ok.pac"), "--bypass", "*.corp", "example.org", "http://other/",
        "a.corp"},
       kExitOk,
       "https://example.org\tPROXY p:3128; SOCKS5 s:1080; DIRECT\n"
       "http://other/\tDIRECT\n"
       "https://a.corp\tDIRECT\n",
       ""},
      {{"--pac-url", Url("/missing.pac"), "example.org"},
       kExitFailed,
       "https://example.org\tDIRECT\n",
       "failed with e_pac_unavailable (202), answered by the local resolver"},
      // Both halves fail on a script that does not load.
      {{"--pac-url", Url("/broken.pac"), "example.org"},
       kExitFailed,
       "https://example.org\tDIRECT\n",
       "failed with e_resolve_failed (203)"},
      {{"--pac-url", Url("/missing.pac"), "--proxy", "fallback:80", "example.org"},
       kExitFailed,
       // As callers receive it: the fallback's answer travels with the
       // failure code, and DIRECT is appended to successes only.
       "https://example.org\tPROXY fallback:80\n",
       "answered by the local resolver"},
      {{"--auto-detect", "example.org"},
       kExitFailed,
       "https://example.org\tDIRECT\n",
       "failed with e_pac_unavailable (202)"},
      {{"--auto-detect", "--pac-url", Url("/ok.pac"), "example.org"},
       kExitOk,
       "https://example.org\tPROXY p:3128; SOCKS5 s:1080; DIRECT\n",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ovtest::TaskEnvironment env("");
    const CommandRun run = RunCommand(RunResolveCommand, c.args);
    EXPECT_EQ(run.code, c.code) << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace ovproxy
