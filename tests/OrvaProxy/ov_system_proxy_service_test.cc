// The system-shaped resolver and the PK resolver on the process's real
// proxy resolution service, with the module's PAC engine as its evaluator,
// against a local server: answers, script failures and download failures as
// the resolve runner sees them.
#include "OrvaProxy/ov_system_proxy_service.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "OrvaProxy/ov_pk_resolver.h"
#include "OrvaProxy/ov_task_constants.h"
#include "OrvaProxy/ov_winhttp_async_resolver.h"
#include "orvatask/orva_task.h"
#include "ovtest/blocking_proxy_resolver.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

constexpr char kScript[] = R"(function FindProxyForURL(url, host) {
  if (host == "example.org") return "PROXY p:3128; SOCKS5 s:1080; DIRECT";
  return "DIRECT";
})";

class SystemProxyServiceTest : public ::testing::Test {
 protected:
  SystemProxyServiceTest() {
    server_.Get("/ok.pac", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(kScript, "application/x-ns-proxy-autoconfig");
    });
    server_.Get("/broken.pac", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("function FindProxyForURL(url, host) { return \"DIRECT\"; ",
                           "application/x-ns-proxy-autoconfig");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    listener_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
    EXPECT_NE(env_.manager().CreateRunner(kResolveRunnerName, kResolveTaskGroup),
              OrvaTask::kInvalidRunnerId);
  }
  ~SystemProxyServiceTest() override {
    server_.stop();
    listener_.join();
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  void OnRunner(std::function<void()> function) {
    auto task = OrvaTask::CreateOrvaTask({.name = "test_on_runner"}, std::move(function));
    ASSERT_TRUE(env_.manager().PostTask(kResolveRunnerName, task));
    ASSERT_TRUE(env_.manager().WaitForTask(task));
  }

  static std::shared_ptr<ovProxyConfig> PacUrlConfig(const std::string& url,
                                                     const std::string& content = "") {
    auto config = std::make_shared<ovProxyConfig>(ovProxyConfig::CreateFromCustomPacURL(url));
    config->setPacContent(content);
    return config;
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread listener_;
  ovtest::TaskEnvironment env_;
};

TEST_F(SystemProxyServiceTest, ResolvesThroughTheRealService) {
  struct Case {
    std::string path;
    std::string url;
    eErrorCode error;
    std::string answer;
  };
  const Case cases[] = {
      {"/ok.pac", "https://example.org/a", e_success, "PROXY p:3128; SOCKS5 s:1080; DIRECT"},
      {"/ok.pac", "https://other.example/a", e_success, "DIRECT"},
      {"/broken.pac", "https://example.org/a", e_resolve_failed, ""},
      {"/missing.pac", "https://example.org/a", e_pac_unavailable, ""},
  };
  ovtest::RecordingResolverDelegate delegate;
  std::unique_ptr<ovProxyAsyncResolver> resolver;
  OnRunner([&] {
    resolver = createWinHttpAsyncResolver();
    resolver->setDelegate(&delegate);
    ASSERT_EQ(resolver->initialize(), e_success);
  });
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.path + " " + c.url);
    OnRunner([&] {
      ovProxyInfo unused;
      EXPECT_EQ(
          resolver->resolve("r" + std::to_string(i), c.url, "", PacUrlConfig(Url(c.path)), unused),
          e_pending);
    });
    ASSERT_TRUE(delegate.WaitForAnswers(i + 1));
    const auto answer = delegate.answers()[i];
    EXPECT_EQ(answer.runner, kResolveRunnerName);
    EXPECT_EQ(answer.error, c.error);
    if (c.error == e_success) {
      ASSERT_NE(answer.result, nullptr);
      EXPECT_EQ(answer.result->ToPacString(), c.answer);
    }
  }
  OnRunner([&] { resolver.reset(); });
}

TEST_F(SystemProxyServiceTest, PKResolverAnswersFromTheHalfThatSucceeds) {
  ovtest::RecordingResolverDelegate delegate;
  std::unique_ptr<ovPKResolver> pk;
  OnRunner([&] {
    pk = std::make_unique<ovPKResolver>();
    pk->setDelegate(&delegate);
    ASSERT_EQ(pk->initialize(), e_success);
    EXPECT_TRUE(pk->isAvailable());
    ovProxyInfo unused;
    // The system service cannot fetch the script; the in-process engine has
    // it already.
    EXPECT_EQ(pk->resolve("r", "https://example.org/", "",
                          PacUrlConfig(Url("/missing.pac"), kScript), unused),
              e_pending);
  });
  ASSERT_TRUE(delegate.WaitForAnswers(1));
  // Let a late answer of the other half arrive, if one were to come.
  OnRunner([] {});
  OnRunner([&] { pk.reset(); });
  ASSERT_EQ(delegate.answers().size(), 1u);
  const auto answer = delegate.answers()[0];
  EXPECT_EQ(answer.error, e_success);
  EXPECT_EQ(answer.resolver_kind, 1u);
  ASSERT_NE(answer.result, nullptr);
  EXPECT_EQ(answer.result->ToPacString(), "PROXY p:3128; SOCKS5 s:1080");
}

}  // namespace
}  // namespace OVProxy
