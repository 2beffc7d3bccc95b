#include "OrvaProxy/ov_pk_resolver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ovtest/blocking_proxy_resolver.h"
#include "ovtest/fake_async_resolver.h"

namespace OVProxy {
namespace {

using ovtest::FakeAsyncResolver;
using Ids = std::vector<std::string>;

constexpr uint32_t kWin = 0;
constexpr uint32_t kMulti = 1;

class PKResolverTest : public ::testing::Test {
 protected:
  // `win_answer` / `multi_answer`: what each half's resolve answers.
  void Make(eErrorCode win_answer = e_pending, eErrorCode multi_answer = e_pending) {
    pk_ = std::make_unique<ovPKResolver>(
        [=, this]() -> std::unique_ptr<ovProxyAsyncResolver> {
          auto half = std::make_unique<FakeAsyncResolver>(kWin, win_log_);
          half->SetResolveAnswer(win_answer);
          win_ = half.get();
          return half;
        },
        [=, this](std::shared_ptr<ovProxyResolverFactory> factory)
            -> std::unique_ptr<ovProxyAsyncResolver> {
          EXPECT_NE(factory, nullptr);
          auto half = std::make_unique<FakeAsyncResolver>(kMulti, multi_log_);
          half->SetResolveAnswer(multi_answer);
          multi_ = half.get();
          return half;
        });
    pk_->setDelegate(delegate_.get());
    ASSERT_EQ(pk_->initialize(), e_success);
  }

  // A fresh resolver with fresh halves, logs and delegate.
  void Reset(eErrorCode win_answer = e_pending, eErrorCode multi_answer = e_pending) {
    pk_.reset();
    delegate_ = std::make_unique<ovtest::RecordingResolverDelegate>();
    win_log_ = std::make_shared<FakeAsyncResolver::Log>();
    multi_log_ = std::make_shared<FakeAsyncResolver::Log>();
    Make(win_answer, multi_answer);
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
  // The first half to answer, its answer, the second's; what is delivered and
  // by whom; whether the first answer alone decides; which half is cancelled.
  const struct {
    uint32_t first;
    eErrorCode first_error, second_error, delivered;
    uint32_t delivered_kind;
    bool decided_by_first;
    const char* cancelled;  // "win", "multi" or ""
  } cases[] = {
      {kWin, e_success, e_success, e_success, kWin, true, "multi"},
      {kWin, e_pac_unavailable, e_success, e_success, kMulti, false, ""},
      {kMulti, e_resolve_failed, e_success, e_success, kWin, false, ""},
      {kWin, e_pac_unavailable, e_resolve_failed, e_resolve_failed, kMulti, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " " << c.first_error << " " << c.second_error);
    Reset();
    ASSERT_EQ(Resolve("r"), e_pending);
    Half(c.first)->Complete("r", c.first_error);
    EXPECT_EQ(delegate_->answers().size(), c.decided_by_first ? 1u : 0u);
    Half(c.first == kWin ? kMulti : kWin)->Complete("r", c.second_error);
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

TEST_F(PKResolverTest, WithOneHalfStartedItsAnswerIsDeliveredUnchanged) {
  const struct {
    eErrorCode win_start, multi_start;
    uint32_t running;
    eErrorCode answer;
  } cases[] = {
      {e_resolve_failed, e_pending, kMulti, e_success},
      {e_pending, e_invalid_argument, kWin, e_pac_unavailable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Reset(c.win_start, c.multi_start);
    ASSERT_EQ(Resolve("r"), e_pending);
    // The half that did not start is told to forget the request.
    EXPECT_EQ((c.running == kWin ? multi_log_ : win_log_)->cancelled, Ids{"r"});
    Half(c.running)->Complete("r", c.answer);
    ASSERT_EQ(delegate_->answers().size(), 1u);
    EXPECT_EQ(delegate_->answers()[0].error, c.answer);
    EXPECT_EQ(delegate_->answers()[0].resolver_kind, c.running);
  }
}

TEST_F(PKResolverTest, NeitherHalfStartingFailsAtOnceWithoutCallback) {
  Make(e_resolve_failed, e_failed);
  EXPECT_EQ(Resolve("r"), e_resolve_failed);
  EXPECT_EQ(win_log_->cancelled, Ids{"r"});
  EXPECT_EQ(multi_log_->cancelled, Ids{"r"});
  // A half reporting its failure anyway is not passed on.
  win_->Complete("r", e_resolve_failed);
  EXPECT_TRUE(delegate_->answers().empty());
  EXPECT_EQ(pk_->requestCount(), 0u);
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
