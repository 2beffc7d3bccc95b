// ovPKResolver over two halves answered by hand: every order of success and
// failure, halves that do not start or do not exist, cancellation, and a
// delegate that destroys the resolver from its call.
#include "OrvaProxy/ov_pk_resolver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ovtest/blocking_proxy_resolver.h"
#include "ovtest/fake_async_resolver.h"
#include "ovtest/log_capture.h"

namespace OVProxy {
namespace {

using ovtest::FakeAsyncResolver;
using Ids = std::vector<std::string>;

constexpr uint32_t kWin = 0;
constexpr uint32_t kMulti = 1;

class PKResolverTest : public ::testing::Test {
 protected:
  // `win_answer` / `multi_answer`: what each half's resolve answers;
  // `make_*` false: that half cannot be made.
  void Make(eErrorCode win_answer = e_pending, eErrorCode multi_answer = e_pending,
            bool make_win = true, bool make_multi = true) {
    pk_ = std::make_unique<ovPKResolver>(
        [=, this]() -> std::unique_ptr<ovProxyAsyncResolver> {
          if (!make_win) return nullptr;
          auto half = std::make_unique<FakeAsyncResolver>(kWin, win_log_);
          half->SetResolveAnswer(win_answer);
          win_ = half.get();
          return half;
        },
        [=, this](std::shared_ptr<ovProxyResolverFactory> factory)
            -> std::unique_ptr<ovProxyAsyncResolver> {
          EXPECT_NE(factory, nullptr);
          if (!make_multi) return nullptr;
          auto half = std::make_unique<FakeAsyncResolver>(kMulti, multi_log_);
          half->SetResolveAnswer(multi_answer);
          multi_ = half.get();
          return half;
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

  std::shared_ptr<FakeAsyncResolver::Log> win_log_ = std::make_shared<FakeAsyncResolver::Log>();
  std::shared_ptr<FakeAsyncResolver::Log> multi_log_ = std::make_shared<FakeAsyncResolver::Log>();
  FakeAsyncResolver* win_ = nullptr;
  FakeAsyncResolver* multi_ = nullptr;
  std::unique_ptr<ovtest::RecordingResolverDelegate> delegate_ =
      std::make_unique<ovtest::RecordingResolverDelegate>();
  std::unique_ptr<ovPKResolver> pk_;
};

TEST_F(PKResolverTest, EveryOrderOfTwoAnswersDeliversOnce) {
  struct Step {
    uint32_t kind;
    eErrorCode error;
  };
  struct Case {
    const char* name;
    Step first, second;
    eErrorCode delivered;
    uint32_t delivered_kind;
    std::size_t delivered_after;  // 1 or 2 answers
    bool win_cancelled, multi_cancelled;
  };
  const Case cases[] = {
      {"winhttp wins", {kWin, e_success}, {kMulti, e_success}, e_success, kWin, 1, false, true},
      {"multi wins", {kMulti, e_success}, {kWin, e_success}, e_success, kMulti, 1, true, false},
      {"winhttp fails, multi succeeds",
       {kWin, e_pac_unavailable},
       {kMulti, e_success},
       e_success,
       kMulti,
       2,
       false,
       false},
      {"multi fails, winhttp succeeds",
       {kMulti, e_resolve_failed},
       {kWin, e_success},
       e_success,
       kWin,
       2,
       false,
       false},
      {"both fail, multi last",
       {kWin, e_pac_unavailable},
       {kMulti, e_resolve_failed},
       e_resolve_failed,
       kMulti,
       2,
       false,
       false},
      {"both fail, winhttp last",
       {kMulti, e_resolve_failed},
       {kWin, e_resolver_timeout},
       e_resolver_timeout,
       kWin,
       2,
       false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pk_.reset();
    delegate_ = std::make_unique<ovtest::RecordingResolverDelegate>();
    win_log_ = std::make_shared<FakeAsyncResolver::Log>();
    multi_log_ = std::make_shared<FakeAsyncResolver::Log>();
    Make();
    ASSERT_EQ(Resolve("r"), e_pending);
    EXPECT_EQ(win_log_->resolved, Ids{"r"});
    EXPECT_EQ(multi_log_->resolved, Ids{"r"});

    Half(c.first.kind)->Complete("r", c.first.error);
    EXPECT_EQ(delegate_->answers().size(), c.delivered_after == 1 ? 1u : 0u);
    Half(c.second.kind)->Complete("r", c.second.error);
    ASSERT_EQ(delegate_->answers().size(), 1u);
    const auto answer = delegate_->answers()[0];
    EXPECT_EQ(answer.request_id, "r");
    EXPECT_EQ(answer.error, c.delivered);
    EXPECT_EQ(answer.resolver_kind, c.delivered_kind);
    EXPECT_EQ(answer.result != nullptr, c.delivered == e_success);
    EXPECT_EQ(win_log_->cancelled, c.win_cancelled ? Ids{"r"} : Ids{});
    EXPECT_EQ(multi_log_->cancelled, c.multi_cancelled ? Ids{"r"} : Ids{});
    EXPECT_EQ(pk_->requestCount(), 0u);
  }
}

TEST_F(PKResolverTest, WithOneHalfStartedItsAnswerIsDeliveredUnchanged) {
  struct Case {
    eErrorCode win_start, multi_start;
    uint32_t running;
    eErrorCode answer;
  };
  const Case cases[] = {
      {e_resolve_failed, e_pending, kMulti, e_success},
      {e_resolve_failed, e_pending, kMulti, e_resolve_failed},
      {e_pending, e_invalid_argument, kWin, e_pac_unavailable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    pk_.reset();
    delegate_ = std::make_unique<ovtest::RecordingResolverDelegate>();
    win_log_ = std::make_shared<FakeAsyncResolver::Log>();
    multi_log_ = std::make_shared<FakeAsyncResolver::Log>();
    Make(c.win_start, c.multi_start);
    ASSERT_EQ(Resolve("r"), e_pending);
    // The half that did not start is told to forget the request.
    const auto& idle_log = c.running == kWin ? multi_log_ : win_log_;
    EXPECT_EQ(idle_log->cancelled, Ids{"r"});
    Half(c.running)->Complete("r", c.answer);
    ASSERT_EQ(delegate_->answers().size(), 1u);
    EXPECT_EQ(delegate_->answers()[0].error, c.answer);
    EXPECT_EQ(delegate_->answers()[0].resolver_kind, c.running);
  }
}

TEST_F(PKResolverTest, NeitherHalfStartingFailsAtOnceWithoutCallback) {
  ovtest::LogCapture log;
  Make(e_resolve_failed, e_failed);
  EXPECT_EQ(Resolve("r"), e_resolve_failed);
  EXPECT_TRUE(log.Contains("ovPKResolver: Both resolvers failed to start - requestId=r"));
  EXPECT_EQ(win_log_->cancelled, Ids{"r"});
  EXPECT_EQ(multi_log_->cancelled, Ids{"r"});
  // A half reporting its failure anyway is not passed on.
  win_->Complete("r", e_resolve_failed);
  EXPECT_TRUE(delegate_->answers().empty());
  EXPECT_EQ(pk_->requestCount(), 0u);
}

TEST_F(PKResolverTest, MissingHalvesAndUninitializedUse) {
  ovtest::LogCapture log;
  ovPKResolver never_initialized([] { return nullptr; }, [](auto) { return nullptr; });
  ovProxyInfo unused;
  EXPECT_EQ(never_initialized.resolve("r", "http://a/", "", nullptr, unused), e_not_initialized);
  EXPECT_TRUE(log.Contains("ovPKResolver: Not initialized"));

  Make(e_pending, e_pending, /*make_win=*/false);
  EXPECT_FALSE(pk_->isAvailable());
  EXPECT_TRUE(log.Contains("ovPKResolver: Failed to initialize WinHttpAsyncResolver"));
  // The existing half still answers.
  ASSERT_EQ(Resolve("r"), e_pending);
  multi_->Complete("r", e_success);
  ASSERT_EQ(delegate_->answers().size(), 1u);

  Make(e_pending, e_pending, true, true);
  EXPECT_TRUE(pk_->isAvailable());
  multi_->SetAvailable(false);
  EXPECT_FALSE(pk_->isAvailable());
}

TEST_F(PKResolverTest, CancelledRequestsAreNeverDelivered) {
  Make();
  ASSERT_EQ(Resolve("a"), e_pending);
  ASSERT_EQ(Resolve("b"), e_pending);
  ASSERT_EQ(Resolve("c"), e_pending);
  EXPECT_EQ(pk_->cancelRequest("a"), e_success);
  EXPECT_EQ(win_log_->cancelled, Ids{"a"});
  EXPECT_EQ(multi_log_->cancelled, Ids{"a"});
  win_->Complete("a", e_success);
  multi_->Complete("b", e_resolve_failed);  // b now waits for the other half
  pk_->cancelAllRequests();
  EXPECT_EQ(win_log_->cancel_all, 1);
  EXPECT_EQ(multi_log_->cancel_all, 1);
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
