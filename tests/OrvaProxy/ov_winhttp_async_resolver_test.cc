#include "OrvaProxy/ov_winhttp_async_resolver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ov_task_constants.h"
#include "ovtest/blocking_proxy_resolver.h"
#include "ovtest/fake_telemetry_module.h"
#include "ovtest/fake_winhttp.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

using ovplatform::ProxyResult;
using ovplatform::ProxyResultEntry;

std::shared_ptr<ovProxyConfig> AutoConfig(bool auto_detect, const std::string& pac_url) {
  auto config = std::make_shared<ovProxyConfig>();
  config->setAutoDetectEnabled(auto_detect);
  config->setPacUrl(pac_url);
  return config;
}

class WinHttpAsyncResolverTest : public ::testing::Test {
 protected:
  // The test thread serves the resolve runner, so completions wait until
  // the test pumps it.
  WinHttpAsyncResolverTest() : env_(kResolveRunnerName) { Make(); }
  ~WinHttpAsyncResolverTest() override { api_->FinishOutstanding(); }

  void Make() {
    resolver_ = std::make_unique<ovWinHttpAsyncResolver>(api_);
    resolver_->setDelegate(&delegate_);
    ASSERT_EQ(resolver_->initialize(), e_success);
  }

  eErrorCode Resolve(const std::string& id,
                     std::shared_ptr<ovProxyConfig> config = AutoConfig(false, "http://pac/p")) {
    ovProxyInfo unused;
    return resolver_->resolve(id, "https://example.org/x", "", std::move(config), unused);
  }

  std::shared_ptr<ovtest::FakeWinHttp> api_ = std::make_shared<ovtest::FakeWinHttp>();
  ovtest::TaskEnvironment env_;
  ovtest::RecordingResolverDelegate delegate_;
  std::unique_ptr<ovWinHttpAsyncResolver> resolver_;
};

TEST_F(WinHttpAsyncResolverTest, CompletionCodesReachTheDelegateOnTheRequestingRunner) {
  ovtest::FakeTelemetryModule telemetry;
  constexpr uint32_t kComplete = ovplatform::kStatusGetProxyForUrlComplete;
  struct Case {
    uint32_t status;
    uint32_t code;
    eErrorCode expected;
    bool latency;
  };
  const Case cases[] = {
      {kComplete, 12180, e_pac_unavailable, true},
      {kComplete, 12002, e_resolver_timeout, true},
      {kComplete, 12166, e_resolve_failed, true},
      {ovplatform::kStatusRequestError, 12017, e_resolve_failed, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.code);
    const std::size_t latencies = telemetry.latencies().size();
    ASSERT_EQ(Resolve("r" + std::to_string(i)), e_pending);
    api_->Callback(i, c.status, &c.code, sizeof(c.code));
    // Posted, not delivered inside the service's callback.
    EXPECT_EQ(delegate_.answers().size(), i);
    env_.RunUntilIdle();
    ASSERT_EQ(delegate_.answers().size(), i + 1);
    const auto answer = delegate_.answers().back();
    EXPECT_EQ(answer.error, c.expected);
    EXPECT_EQ(answer.result, nullptr);
    EXPECT_EQ(answer.runner, kResolveRunnerName);
    EXPECT_EQ(telemetry.latencies().size(), latencies + (c.latency ? 1 : 0));
  }
  EXPECT_EQ(api_->openResolverHandles(), 0u);
  EXPECT_EQ(resolver_->requestCount(), 0u);
}

TEST_F(WinHttpAsyncResolverTest, SuccessHandsTheConvertedListToTheDelegate) {
  ASSERT_EQ(Resolve("ok"), e_pending);
  api_->Complete(0, 0,
                 ProxyResult{{{true, false, ovplatform::kProxySchemeHttp, "p1", 3128},
                              {false, false, ovplatform::kProxySchemeDirect, "", 0}}});
  env_.RunUntilIdle();
  ASSERT_EQ(delegate_.answers().size(), 1u);
  const auto answer = delegate_.answers()[0];
  EXPECT_EQ(answer.error, e_success);
  ASSERT_NE(answer.result, nullptr);
  EXPECT_EQ(answer.result->ToPacString(), "PROXY p1:3128; DIRECT");

  // A result the service cannot hand out is a failure.
  api_->SetGetProxyResultError(ovplatform::kErrorIncorrectHandleState);
  ASSERT_EQ(Resolve("no-result"), e_pending);
  api_->Complete(1, 0);
  env_.RunUntilIdle();
  ASSERT_EQ(delegate_.answers().size(), 2u);
  EXPECT_EQ(delegate_.answers()[1].error, e_resolve_failed);
  EXPECT_EQ(api_->openResolverHandles(), 0u);
}

TEST(WinHttpConvertProxyResultTest, EntriesBecomeOneNamedProxyText) {
  struct Case {
    const char* name;
    std::vector<ProxyResultEntry> entries;
    std::string expected;
  };
  const Case cases[] = {
      {"https, socks4, direct, dropped after direct",
       {{true, false, 2, "p1", 443},
        {true, false, 4, "4 p2", 1080},
        {false, false, 0, "", 0},
        {true, false, 1, "late", 80}},
       "HTTPS p1:443; SOCKS4 p2:1080; DIRECT"},
      {"empty host skipped", {{true, false, 1, "", 80}, {true, false, 1, "a", 81}}, "PROXY a:81"},
      {"direct first", {{false, false, 0, "", 0}, {true, false, 1, "a", 81}}, "DIRECT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProxyResult result{c.entries};
    ovProxyInfo info;
    ovWinHttpAsyncResolver::convertProxyResult(&result, info);
    EXPECT_EQ(info.ToPacString(), c.expected);
  }
  ovProxyInfo none;
  ovWinHttpAsyncResolver::convertProxyResult(nullptr, none);
  EXPECT_TRUE(none.is_direct());
}

TEST_F(WinHttpAsyncResolverTest, RefusedRequestsAreAnsweredOnceByTheReturnValue) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      // create error, GetProxyForUrlEx answer
      {12004, ovplatform::kErrorIoPending},
      {0, 87},
  };
  for (const auto& [create_error, get_answer] : cases) {
    api_->SetCreateResolverError(create_error);
    api_->SetGetProxyForUrlAnswer(get_answer);
    EXPECT_EQ(Resolve("refused"), e_resolve_failed);
    env_.RunUntilIdle();
  }
  EXPECT_TRUE(delegate_.answers().empty());
  EXPECT_EQ(resolver_->requestCount(), 0u);
  EXPECT_EQ(api_->openResolverHandles(), 0u);
}

TEST_F(WinHttpAsyncResolverTest, InitializeFailuresLeaveNoSessionOpen) {
  ovWinHttpAsyncResolver no_service(nullptr);
  EXPECT_EQ(no_service.initialize(), e_not_supported);
  for (const bool fail_open : {true, false}) {
    auto api = std::make_shared<ovtest::FakeWinHttp>();
    api->FailOpen(fail_open);
    api->FailSetStatusCallback(!fail_open);
    ovWinHttpAsyncResolver resolver(api);
    EXPECT_EQ(resolver.initialize(), e_resolve_failed);
    EXPECT_EQ(api->openSessions(), 0u);
  }
  EXPECT_EQ(resolver_->uninitialize(), e_success);
  EXPECT_EQ(api_->openSessions(), 0u);
}

TEST_F(WinHttpAsyncResolverTest, CancelledRequestsAreDroppedAndTheirHandlesClosed) {
  ASSERT_EQ(Resolve("a"), e_pending);
  ASSERT_EQ(Resolve("b"), e_pending);
  ASSERT_EQ(Resolve("c"), e_pending);
  EXPECT_EQ(resolver_->cancelRequest("a"), e_success);
  ASSERT_EQ(Resolve("a"), e_pending);  // the id reused while the old one runs
  api_->Complete(0, 0);                // cancelled before the service called back
  env_.RunUntilIdle();
  api_->Complete(1, 0);
  resolver_->cancelRequest("b");  // cancelled while its completion was queued
  env_.RunUntilIdle();
  EXPECT_TRUE(delegate_.answers().empty());
  api_->Complete(3, 12167);
  env_.RunUntilIdle();
  ASSERT_EQ(delegate_.answers().size(), 1u) << "the reused id answers once, for itself";
  EXPECT_EQ(delegate_.answers()[0].error, e_pac_unavailable);
  resolver_->cancelAllRequests();
  api_->Complete(2, 12167);
  env_.RunUntilIdle();
  EXPECT_EQ(delegate_.answers().size(), 1u);
  EXPECT_EQ(resolver_->requestCount(), 0u);
  EXPECT_EQ(api_->openResolverHandles(), 0u);
}

TEST_F(WinHttpAsyncResolverTest, CompletionsForADestroyedResolverOnlyCloseTheirHandles) {
  ASSERT_EQ(Resolve("queued"), e_pending);
  ASSERT_EQ(Resolve("late"), e_pending);
  api_->Complete(0, 0);  // its task waits on the runner
  resolver_.reset();
  env_.RunUntilIdle();
  api_->Complete(1, 0);  // after destruction
  env_.RunUntilIdle();
  EXPECT_TRUE(delegate_.answers().empty());
  EXPECT_EQ(api_->openResolverHandles(), 0u);
}

TEST_F(WinHttpAsyncResolverTest, TheDelegateMayDestroyTheResolverFromItsCall) {
  delegate_.SetHook([this](const auto&) { resolver_.reset(); });
  ASSERT_EQ(Resolve("a"), e_pending);
  ASSERT_EQ(Resolve("b"), e_pending);
  api_->Complete(0, 0);
  api_->Complete(1, 0);
  env_.RunUntilIdle();
  EXPECT_EQ(delegate_.answers().size(), 1u);
  EXPECT_EQ(api_->openResolverHandles(), 0u);
}

TEST(WinHttpAsyncResolverNoRunnerTest, ARequestFromAThreadWithoutRunnerStillCompletes) {
  ovtest::TaskEnvironment env("");  // the test thread serves no runner
  auto api = std::make_shared<ovtest::FakeWinHttp>();
  ovtest::RecordingResolverDelegate delegate;
  ovWinHttpAsyncResolver resolver(api);
  resolver.setDelegate(&delegate);
  ASSERT_EQ(resolver.initialize(), e_success);
  ovProxyInfo unused;
  ASSERT_EQ(resolver.resolve("r", "http://a/", "", AutoConfig(true, ""), unused), e_pending);
  api->Complete(0, 12180);
  ASSERT_TRUE(delegate.WaitForAnswers(1));
  EXPECT_EQ(delegate.answers()[0].runner, kMainThreadRunnerName);
  EXPECT_EQ(delegate.answers()[0].error, e_pac_unavailable);
}

}  // namespace
}  // namespace OVProxy
