// The WinHTTP resolver, and the PK resolver that runs it and the pool side by side.
#include "OrvaProxy/ov_winhttp_async_resolver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ov_pk_resolver.h"
#include "OrvaProxy/ov_task_constants.h"
#include "ovtest/blocking_proxy_resolver.h"
#include "ovtest/fake_async_resolver.h"
#include "ovtest/fake_telemetry_module.h"
#include "ovtest/fake_winhttp.h"
#include "ovtest/manual_clock.h"
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

TEST_F(WinHttpAsyncResolverTest, CompletionsReachTheDelegateOnTheRequestingRunner) {
  ovtest::FakeTelemetryModule telemetry;
  constexpr uint32_t kComplete = ovplatform::kStatusGetProxyForUrlComplete;
  const ProxyResult listed{{{true, false, ovplatform::kProxySchemeHttp, "p1", 3128},
                            {false, false, ovplatform::kProxySchemeDirect, "", 0}}};
  const struct {
    uint32_t status, code, result_error;  // result_error: what GetProxyResult answers
    eErrorCode expected;
    const char* answer;
    bool latency;
  } cases[] = {
      {kComplete, 0, 0, e_success, "PROXY p1:3128; DIRECT", true},
      // A result the service cannot hand out is a failure.
      {kComplete, 0, ovplatform::kErrorIncorrectHandleState, e_resolve_failed, "-", true},
      {kComplete, 12180, 0, e_pac_unavailable, "-", true},
      {kComplete, 12002, 0, e_resolver_timeout, "-", true},
      {kComplete, 12166, 0, e_resolve_failed, "-", true},
      {ovplatform::kStatusRequestError, 12017, 0, e_resolve_failed, "-", false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.code);
    const std::size_t latencies = telemetry.latencies().size();
    api_->Set({.result_error = c.result_error});
    ASSERT_EQ(Resolve("r" + std::to_string(i)), e_pending);
    if (c.status == kComplete) {
      api_->Complete(i, c.code, listed);
    } else {
      api_->Callback(i, c.status, &c.code, sizeof(c.code));
    }
    // Posted, not delivered inside the service's callback.
    EXPECT_EQ(delegate_.answers().size(), i);
    env_.RunUntilIdle();
    ASSERT_EQ(delegate_.answers().size(), i + 1);
    const auto answer = delegate_.answers().back();
    EXPECT_EQ(answer.error, c.expected);
    EXPECT_EQ(answer.result ? answer.result->ToPacString() : "-", c.answer);
    EXPECT_EQ(answer.runner, kResolveRunnerName);
    EXPECT_EQ(telemetry.latencies().size(), latencies + (c.latency ? 1 : 0));
  }
  EXPECT_EQ(api_->openResolverHandles(), 0u);
  EXPECT_EQ(resolver_->requestCount(), 0u);
}

TEST(WinHttpConvertProxyResultTest, EntriesBecomeOneNamedProxyText) {
  const struct {
    const char* name;
    std::vector<ProxyResultEntry> entries;
    std::string expected;
  } cases[] = {
      {"https, socks4, direct, dropped after direct",
       {{true, false, 2, "p1", 443},
        {true, false, 4, "4 p2", 1080},
        {false, false, 0, "", 0},
        {true, false, 1, "late", 80}},
       "HTTPS p1:443; SOCKS4 p2:1080; DIRECT"},
      {"empty host skipped", {{true, false, 1, "", 80}, {true, false, 1, "a", 81}}, "PROXY a:81"},
      {"direct first", {{false, false, 0, "", 0}, {true, false, 1, "a", 81}}, "DIRECT"},
  };
  for (const auto& c : cases) {
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
    api_->Set({.create_error = create_error, .get_proxy_answer = get_answer});
    EXPECT_EQ(Resolve("refused"), e_resolve_failed);
    env_.RunUntilIdle();
  }
  EXPECT_TRUE(delegate_.answers().empty());
  EXPECT_EQ(resolver_->requestCount(), 0u);
  EXPECT_EQ(api_->openResolverHandles(), 0u);
  EXPECT_EQ(api_->unknownCloses(), 0u) << "no handle is closed twice";
}

TEST_F(WinHttpAsyncResolverTest, InitializeFailuresLeaveNoSessionOpen) {
  ovWinHttpAsyncResolver no_service(nullptr);
  EXPECT_EQ(no_service.initialize(), e_not_supported);
  for (const bool fail_open : {true, false}) {
    auto api = std::make_shared<ovtest::FakeWinHttp>();
    api->Set({.fail_open = fail_open, .fail_set_callback = !fail_open});
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
  EXPECT_EQ(api_->openResolverHandles(), 2u) << "cancelling stops the service's work at once";
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

// Completions for a destroyed resolver (also one its delegate destroyed from
// its call) only close their handles.
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
  Make();
  delegate_.SetHook([this](const auto&) { resolver_.reset(); });
  ASSERT_EQ(Resolve("a"), e_pending);
  ASSERT_EQ(Resolve("b"), e_pending);
  api_->Complete(2, 0);
  api_->Complete(3, 0);
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

using ovtest::FakeAsyncResolver;
using Ids = std::vector<std::string>;

constexpr uint32_t kWin = 0, kMulti = 1;

class PKResolverTest : public ::testing::Test {
 protected:
  // A fresh resolver with fresh halves, logs and delegate; `win_answer` and
  // `multi_answer` are what each half's resolve answers.
  void Make(eErrorCode win_answer = e_pending, eErrorCode multi_answer = e_pending) {
    pk_.reset();
    delegate_ = std::make_unique<ovtest::RecordingResolverDelegate>();
    win_log_ = std::make_shared<FakeAsyncResolver::Log>();
    multi_log_ = std::make_shared<FakeAsyncResolver::Log>();
    const auto half = [](uint32_t kind, std::shared_ptr<FakeAsyncResolver::Log> log,
                         eErrorCode answer, FakeAsyncResolver*& made) {
      auto resolver = std::make_unique<FakeAsyncResolver>(kind, std::move(log));
      resolver->SetResolveAnswer(answer);
      made = resolver.get();
      return std::unique_ptr<ovProxyAsyncResolver>(std::move(resolver));
    };
    pk_ =
        std::make_unique<ovPKResolver>([=, this] { return half(kWin, win_log_, win_answer, win_); },
                                       [=, this](std::shared_ptr<ovProxyResolverFactory> factory) {
                                         EXPECT_NE(factory, nullptr);
                                         return half(kMulti, multi_log_, multi_answer, multi_);
                                       });
    pk_->setDelegate(delegate_.get());
    ASSERT_EQ(pk_->initialize(), e_success);
  }

  eErrorCode Resolve(const std::string& id) {
    auto config = std::make_shared<ovProxyConfig>(
        ovProxyConfig::CreateFromCustomPacURL("http://wpad/proxy.pac"));
    ovProxyInfo unused;
    return pk_->resolve(id, "http://a/", "", config, unused);
  }

  FakeAsyncResolver* Half(uint32_t kind) { return kind == kWin ? win_ : multi_; }
  std::shared_ptr<FakeAsyncResolver::Log> win_log_, multi_log_;
  FakeAsyncResolver *win_ = nullptr, *multi_ = nullptr;
  std::unique_ptr<ovtest::RecordingResolverDelegate> delegate_;
  std::unique_ptr<ovPKResolver> pk_;
};

TEST_F(PKResolverTest, EveryOrderOfTwoAnswersDeliversOnce) {
  // The first half to answer, its answer, the second's; whether the
  // in-process half's success is DNS-blind; what is delivered and by whom;
  // whether the first answer alone decides; which half is cancelled.
  const struct {
    uint32_t first;
    eErrorCode first_error, second_error;
    bool multi_blind;
    eErrorCode delivered;
    uint32_t delivered_kind;
    bool decided_by_first;
    const char* cancelled;  // "win", "multi" or ""
  } cases[] = {
      {kWin, e_success, e_success, false, e_success, kWin, true, "multi"},
      {kWin, e_pac_unavailable, e_success, false, e_success, kMulti, false, ""},
      {kMulti, e_resolve_failed, e_success, false, e_success, kWin, false, ""},
      {kWin, e_pac_unavailable, e_resolve_failed, false, e_resolve_failed, kMulti, false, ""},
      // A DNS-blind in-process success waits for the half that saw DNS...
      {kMulti, e_success, e_success, true, e_success, kWin, false, ""},
      {kWin, e_success, e_success, true, e_success, kWin, true, "multi"},
      // ...and is delivered only when that half fails.
      {kMulti, e_success, e_resolve_failed, true, e_success, kMulti, false, ""},
      {kWin, e_pac_unavailable, e_success, true, e_success, kMulti, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " " << c.first_error << " " << c.second_error
                                    << " " << c.multi_blind);
    Make();
    ASSERT_EQ(Resolve("r"), e_pending);
    const auto complete = [&](uint32_t kind, eErrorCode error) {
      Half(kind)->Complete("r", error, "p:8080", kind == kMulti && c.multi_blind);
    };
    complete(c.first, c.first_error);
    EXPECT_EQ(delegate_->answers().size(), c.decided_by_first ? 1u : 0u);
    complete(c.first == kWin ? kMulti : kWin, c.second_error);
    ASSERT_EQ(delegate_->answers().size(), 1u);
    const auto answer = delegate_->answers()[0];
    EXPECT_EQ(answer.error, c.delivered);
    EXPECT_EQ(answer.resolver_kind, c.delivered_kind);
    EXPECT_EQ(answer.result != nullptr, c.delivered == e_success);
    EXPECT_EQ(win_log_->cancelled, std::string(c.cancelled) == "win" ? Ids{"r"} : Ids{});
    EXPECT_EQ(multi_log_->cancelled, std::string(c.cancelled) == "multi" ? Ids{"r"} : Ids{});
    EXPECT_EQ(pk_->requestCount(), 0u);
  }
}

// An answer made without DNS waits for the system half only so long; a
// resolver that went meanwhile is left alone.
TEST_F(PKResolverTest, ADnsBlindAnswerWaitsForTheSystemHalfOnlySoLong) {
  ovtest::ManualClock clock;
  ovtest::TaskEnvironment env("pk_test_runner");
  Make();
  ASSERT_EQ(Resolve("r"), e_pending);
  Half(kMulti)->Complete("r", e_success, "guess:1", true);
  clock.Advance(ovPKResolver::kDnsBlindHold - std::chrono::milliseconds(1));
  env.RunUntilIdle();
  EXPECT_TRUE(delegate_->answers().empty());
  clock.Advance(std::chrono::milliseconds(1));
  env.RunUntilIdle();
  ASSERT_EQ(delegate_->answers().size(), 1u);
  EXPECT_EQ(delegate_->answers()[0].resolver_kind, kMulti);
  EXPECT_EQ(delegate_->answers()[0].error, e_success);
  EXPECT_EQ(win_log_->cancelled, Ids{"r"});
  Half(kWin)->Complete("r", e_success);
  EXPECT_EQ(delegate_->answers().size(), 1u);

  ASSERT_EQ(Resolve("s"), e_pending);
  Half(kMulti)->Complete("s", e_success, "guess:1", true);
  pk_.reset();
  clock.Advance(ovPKResolver::kDnsBlindHold);
  env.RunUntilIdle();
  EXPECT_EQ(delegate_->answers().size(), 1u);
}

// A half that did not start is told to forget the request; the other's
// answer is delivered unchanged. Neither starting fails at once, and a half
// reporting its failure anyway is not passed on.
TEST_F(PKResolverTest, HalvesThatDoNotStartAreCancelled) {
  const struct {
    eErrorCode win_start, multi_start, resolved;
    uint32_t running;
    eErrorCode answer;
    std::size_t delivered;
  } cases[] = {
      {e_resolve_failed, e_pending, e_pending, kMulti, e_success, 1},
      {e_pending, e_invalid_argument, e_pending, kWin, e_pac_unavailable, 1},
      {e_resolve_failed, e_failed, e_resolve_failed, kWin, e_resolve_failed, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Make(c.win_start, c.multi_start);
    ASSERT_EQ(Resolve("r"), c.resolved);
    EXPECT_EQ(win_log_->cancelled, c.win_start == e_pending ? Ids{} : Ids{"r"});
    EXPECT_EQ(multi_log_->cancelled, c.multi_start == e_pending ? Ids{} : Ids{"r"});
    Half(c.running)->Complete("r", c.answer);
    ASSERT_EQ(delegate_->answers().size(), c.delivered);
    for (const auto& answer : delegate_->answers()) {
      EXPECT_EQ(answer.error, c.answer);
      EXPECT_EQ(answer.resolver_kind, c.running);
    }
    EXPECT_EQ(pk_->requestCount(), 0u);
  }
}

TEST_F(PKResolverTest, CancelledRequestsAreNeverDelivered) {
  Make();
  ASSERT_EQ(Resolve("a"), e_pending);
  ASSERT_EQ(Resolve("b"), e_pending);
  ASSERT_EQ(Resolve("c"), e_pending);
  EXPECT_EQ(pk_->cancelRequest("a"), e_success);
  win_->Complete("a", e_success);
  multi_->Complete("b", e_resolve_failed);  // b now waits for the other half
  pk_->cancelAllRequests();
  win_->Complete("b", e_success);
  multi_->Complete("c", e_success);
  EXPECT_TRUE(delegate_->answers().empty());
  EXPECT_EQ(pk_->requestCount(), 0u);
  // uninitialize cancels everything and destroys the halves.
  ASSERT_EQ(Resolve("d"), e_pending);
  EXPECT_EQ(pk_->uninitialize(), e_success);
  EXPECT_TRUE(win_log_->destroyed);
  EXPECT_TRUE(multi_log_->destroyed);
  EXPECT_EQ(pk_->requestCount(), 0u);
}

TEST_F(PKResolverTest, TheDelegateMayDestroyTheResolverFromItsCall) {
  Make();
  delegate_->SetHook([this](const auto&) { pk_.reset(); });
  ASSERT_EQ(Resolve("r"), e_pending);
  win_->Complete("r", e_pac_unavailable);
  multi_->Complete("r", e_success);  // delivered; the delegate destroys pk_
  EXPECT_EQ(pk_, nullptr);
  EXPECT_TRUE(win_log_->destroyed);
  ASSERT_EQ(delegate_->answers().size(), 1u);
}

}  // namespace
}  // namespace OVProxy
