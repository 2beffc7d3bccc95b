// ovMultiProxyResolver: the pool's growth and order, cancellation at each
// stage, and destruction while requests are in flight.
#include "OrvaProxy/ov_multi_proxy_resolver.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaProxy/ov_multi_proxy_resolver_factory.h"
#include "OrvaProxy/ov_resolve_job.h"
#include "OrvaProxy/ov_winet_sync_proxy_resolver_factory.h"
#include "executor_test_util.h"
#include "ovtest/log_capture.h"

namespace OVProxy {
namespace {

using testing_pool::kOrigin;
using testing_pool::PacConfig;
using Ids = std::vector<std::string>;

class MultiProxyResolverTest : public testing_pool::PoolTest {
 protected:
  void Make(std::size_t max_executors = ovMultiProxyResolver::kMaxExecutors) {
    resolver_ = std::make_unique<ovMultiProxyResolver>(factory_, max_executors);
    resolver_->setDelegate(&delegate_);
  }

  // resolve, called on the origin runner like the resolve service does.
  eErrorCode Resolve(const std::string& id, const std::string& url = "http://a/",
                     std::shared_ptr<ovProxyConfig> config = PacConfig()) {
    eErrorCode code = e_failed;
    OnOrigin([&] {
      ovProxyInfo unused;
      code = resolver_->resolve(id, url, "extra", std::move(config), unused);
    });
    return code;
  }
  void ResolveRunning(const std::string& id) {
    ASSERT_EQ(Resolve(id), e_pending);
    ASSERT_TRUE(factory_->WaitUntilResolving(id));
  }
  void DestroyOnOrigin() {
    OnOrigin([&] { resolver_.reset(); });
  }

  ovtest::RecordingResolverDelegate delegate_;
  std::unique_ptr<ovMultiProxyResolver> resolver_;
};

TEST_F(MultiProxyResolverTest, FirstRequestWaitsForExecutorZeroAndItsResolver) {
  ovProxyInfo answer;
  answer.UseNamedProxy("p:8080");
  factory_->SetAnswer(e_success, answer);
  factory_->HoldCreation();
  Make();
  EXPECT_TRUE(resolver_->executors().empty());

  ASSERT_EQ(Resolve("r1"), e_pending);
  const auto executors = resolver_->executors();
  ASSERT_EQ(executors.size(), 1u);
  EXPECT_EQ(executors[0]->currentJob()->getRequestId(), "create_resolver_0");
  ASSERT_TRUE(factory_->WaitForCreationCalls(1));
  EXPECT_TRUE(factory_->started().empty()) << "the resolver is made first, on the executor";

  factory_->ReleaseCreation();
  ASSERT_TRUE(delegate_.WaitForAnswers(1));
  const auto answers = delegate_.answers();
  EXPECT_EQ(answers[0].request_id, "r1");
  EXPECT_EQ(answers[0].error, e_success);
  EXPECT_EQ(answers[0].resolver_kind, 1u);
  ASSERT_NE(answers[0].result, nullptr);
  EXPECT_EQ(answers[0].result->ToPacString(), "PROXY p:8080");
  EXPECT_EQ(answers[0].runner, kOrigin);
  EXPECT_EQ(factory_->startedOn(), Ids{"ProxyExecutorRunner0"});
  // The resolver is made once and reused.
  ASSERT_EQ(Resolve("r2"), e_pending);
  ASSERT_TRUE(delegate_.WaitForAnswers(2));
  EXPECT_EQ(factory_->creationCalls(), 1u);
}

TEST_F(MultiProxyResolverTest, PoolGrowsToEightAndTheRestWaitsInOrder) {
  factory_->HoldResolves();
  factory_->SetAnswer(e_resolve_failed, ovProxyInfo());
  Make();
  for (int i = 0; i < 10; ++i) ASSERT_EQ(Resolve("r" + std::to_string(i)), e_pending);
  // The first eight in the queue take the eight executors as they come up.
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(factory_->WaitUntilResolving("r" + std::to_string(i)));
  EXPECT_EQ(resolver_->executors().size(), 8u);
  EXPECT_EQ(resolver_->pendingCount(), 2u);

  factory_->Release("r5");
  ASSERT_TRUE(factory_->WaitUntilResolving("r8"));
  factory_->Release("r2");
  ASSERT_TRUE(factory_->WaitUntilResolving("r9"));
  const Ids started = factory_->started();
  EXPECT_EQ(Ids(started.end() - 2, started.end()), (Ids{"r8", "r9"}));
  EXPECT_EQ(resolver_->executors().size(), 8u);

  factory_->ReleaseAll();
  ASSERT_TRUE(delegate_.WaitForAnswers(10));
  for (const auto& answer : delegate_.answers()) {
    EXPECT_EQ(answer.runner, kOrigin);
    // Failures reach the delegate unchanged, with an answer that is not null.
    EXPECT_EQ(answer.error, e_resolve_failed);
    ASSERT_NE(answer.result, nullptr);
    EXPECT_TRUE(answer.result->is_empty());
  }
}

TEST_F(MultiProxyResolverTest, RefusedRequestsAreAnsweredAtOnceAndMakeNoExecutor) {
  ovtest::LogCapture log;
  struct Case {
    bool with_factory;
    std::string url;
    bool with_config;
    bool with_manager;
    eErrorCode expected;
    const char* logged;
  };
  const Case cases[] = {
      {false, "http://a/", true, true, e_resolver_not_initialized,
       "MultiProxyResolver: No factory available"},
      {true, "http://a/", false, true, e_invalid_argument,
       "MultiProxyResolver: No proxy config provided"},
      {true, "", true, true, e_invalid_argument, "MultiProxyResolver: Empty URL provided"},
      // No executor can start, so the request would wait forever.
      {true, "http://a/", true, false, e_resolver_not_initialized,
       "MultiProxyResolver: No executor can run the request"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    std::optional<OrvaTask::ScopedOVTManagerOverride> no_manager;
    if (!c.with_manager) no_manager.emplace(nullptr);
    ovMultiProxyResolver resolver(c.with_factory ? factory_
                                                 : std::shared_ptr<ovProxyResolverFactory>());
    EXPECT_EQ(resolver.isAvailable(), c.with_factory);
    ovProxyInfo result;
    EXPECT_EQ(resolver.resolve("id", c.url, "", c.with_config ? PacConfig() : nullptr, result),
              c.expected);
    EXPECT_TRUE(resolver.executors().empty());
    EXPECT_EQ(resolver.pendingCount(), 0u);
    EXPECT_TRUE(log.Contains(c.logged, klb::LogLevel::kError)) << log.Dump();
  }
  EXPECT_EQ(factory_->creationCalls(), 0u);
  EXPECT_TRUE(delegate_.answers().empty());
}

// Every accepted request is answered once, also when its executor cannot
// run it: an executor whose runner went away leaves the pool, and the
// queued request runs on a replacement or, when none can be made, is
// answered with an error.
TEST_F(MultiProxyResolverTest, RequestsNoExecutorCanRunAreStillAnswered) {
  struct Case {
    bool new_runners_refused;
    eErrorCode queued_answer;
  };
  for (const Case& c : {Case{true, e_resolver_not_initialized}, Case{false, e_success}}) {
    SCOPED_TRACE(c.new_runners_refused ? "no replacement" : "replaced");
    testing_pool::RefusingManager manager(env_.manager());
    OrvaTask::ScopedOVTManagerOverride use(&manager);
    ovtest::RecordingResolverDelegate delegate;
    factory_->HoldResolves();
    Make(1);
    resolver_->setDelegate(&delegate);
    const std::string running = c.new_runners_refused ? "running1" : "running2";
    const std::string queued = c.new_runners_refused ? "queued1" : "queued2";
    ResolveRunning(running);
    ASSERT_EQ(Resolve(queued), e_pending);
    factory_->Release(queued);
    const std::string runner = resolver_->executors()[0]->getRunnerName();
    manager.refuse_new_runners = c.new_runners_refused;
    ASSERT_TRUE(env_.manager().RemoveRunner(runner));
    factory_->Release(running);

    ASSERT_TRUE(delegate.WaitForAnswers(2));
    const auto answers = delegate.answers();
    EXPECT_EQ(delegate.answeredIds(), (Ids{running, queued}));
    EXPECT_EQ(answers[1].error, c.queued_answer);
    ASSERT_NE(answers[1].result, nullptr);
    EXPECT_EQ(resolver_->pendingCount(), 0u);
    DestroyOnOrigin();
    ASSERT_TRUE(env_.Flush(kOrigin));
    EXPECT_EQ(delegate.answers().size(), 2u);
  }
}

TEST_F(MultiProxyResolverTest, CancellationAtEachStage) {
  factory_->HoldResolves();
  Make(1);

  // cancelResolve touches queued requests only.
  ResolveRunning("a");
  ASSERT_EQ(Resolve("b"), e_pending);
  OnOrigin([&] {
    resolver_->cancelResolve("a");
    resolver_->cancelResolve("b");
  });
  EXPECT_EQ(resolver_->pendingCount(), 0u);
  factory_->Release("a");
  ASSERT_TRUE(delegate_.WaitForAnswers(1));

  // cancelRequest: unknown, queued, running.
  ResolveRunning("c");
  ASSERT_EQ(Resolve("d"), e_pending);
  ASSERT_EQ(Resolve("e"), e_pending);
  OnOrigin([&] {
    EXPECT_EQ(resolver_->cancelRequest("unknown"), e_failed);
    EXPECT_EQ(resolver_->cancelRequest("d"), e_success);
    EXPECT_EQ(resolver_->cancelRequest("c"), e_success);
  });
  factory_->Release("c");
  ASSERT_TRUE(factory_->WaitUntilResolving("e")) << "the executor was freed";
  factory_->Release("e");
  ASSERT_TRUE(delegate_.WaitForAnswers(2));

  // cancelAllRequests: the running and the queued; the pool still works.
  ResolveRunning("f");
  ASSERT_EQ(Resolve("g"), e_pending);
  OnOrigin([&] { resolver_->cancelAllRequests(); });
  EXPECT_EQ(resolver_->pendingCount(), 0u);
  factory_->Release("f");
  ASSERT_EQ(Resolve("h"), e_pending);
  factory_->Release("h");
  ASSERT_TRUE(delegate_.WaitForAnswers(3));

  EXPECT_EQ(delegate_.answeredIds(), (Ids{"a", "e", "h"}));
  EXPECT_EQ(factory_->started(), (Ids{"a", "c", "e", "f", "h"}));
}

TEST_F(MultiProxyResolverTest, DestroyedWhileEvaluatingDeliversNothing) {
  factory_->HoldResolves();
  Make(2);
  ResolveRunning("a");
  factory_->HoldCreation();
  ASSERT_EQ(Resolve("b"), e_pending);  // queued: executor 1 is making its resolver
  ASSERT_TRUE(factory_->WaitForCreationCalls(2));
  DestroyOnOrigin();
  EXPECT_EQ(env_.manager().GetRunnerId("ProxyExecutorRunner0"), OrvaTask::kInvalidRunnerId);
  EXPECT_EQ(env_.manager().GetRunnerId("ProxyExecutorRunner1"), OrvaTask::kInvalidRunnerId);

  factory_->ReleaseCreation();
  factory_->ReleaseAll();
  // The evaluation's end lets go of the resolver, on the executor's thread,
  // after its completion was posted; then the origin runner has seen it.
  ASSERT_TRUE(factory_->WaitForNoLiveResolvers());
  ASSERT_TRUE(env_.Flush(kOrigin));
  EXPECT_TRUE(delegate_.answers().empty());
  EXPECT_EQ(factory_->started(), Ids{"a"});
}

TEST_F(MultiProxyResolverTest, DestructionDropsACompletionAlreadyQueued) {
  factory_->HoldResolves();
  Make();
  ResolveRunning("a");
  std::promise<void> entered;
  std::promise<void> release;
  ASSERT_TRUE(env_.manager().PostTask(
      kOrigin, OrvaTask::CreateOrvaTask({.name = "test_gate"},
                                        [&entered, done = release.get_future().share()] {
                                          entered.set_value();
                                          done.wait();
                                        })));
  entered.get_future().wait();
  factory_->Release("a");
  // Once the executor's runner is past the job, its completion waits on the
  // blocked origin runner.
  EXPECT_TRUE(env_.Flush("ProxyExecutorRunner0"));
  resolver_.reset();  // on this thread, while the origin runner is held
  release.set_value();
  ASSERT_TRUE(env_.Flush(kOrigin));
  EXPECT_TRUE(delegate_.answers().empty());
}

TEST_F(MultiProxyResolverTest, DelegateMayDestroyTheResolverInItsCallback) {
  factory_->HoldResolves();
  Make(1);
  delegate_.SetHook(
      [this](const ovtest::RecordingResolverDelegate::Answer&) { resolver_.reset(); });
  ResolveRunning("a");
  ASSERT_EQ(Resolve("b"), e_pending);
  factory_->Release("a");
  ASSERT_TRUE(delegate_.WaitForAnswers(1));
  ASSERT_TRUE(env_.Flush(kOrigin));
  OnOrigin([&] { EXPECT_EQ(resolver_, nullptr); });
  EXPECT_EQ(delegate_.answeredIds(), Ids{"a"});
  EXPECT_EQ(factory_->started(), Ids{"a"});
  ASSERT_TRUE(factory_->WaitForNoLiveResolvers());
}

TEST_F(MultiProxyResolverTest, DestroyedFromAnotherThreadWhileAnswersFlow) {
  Make();
  constexpr int kRequests = 200;
  OnOrigin([&] {
    for (int i = 0; i < kRequests; ++i) {
      ovProxyInfo unused;
      EXPECT_EQ(resolver_->resolve("r" + std::to_string(i), "http://a/", "", PacConfig(), unused),
                e_pending);
    }
  });
  ASSERT_TRUE(delegate_.WaitForAnswers(1));
  resolver_.reset();  // here, while the origin runner delivers answers
  const std::size_t delivered = delegate_.answers().size();

  ASSERT_TRUE(factory_->WaitForNoLiveResolvers());
  ASSERT_TRUE(env_.Flush(kOrigin));
  EXPECT_EQ(delegate_.answers().size(), delivered) << "nothing after the destructor returned";
  EXPECT_LE(delivered, static_cast<std::size_t>(kRequests));
}

TEST_F(MultiProxyResolverTest, TwoResolversKeepTheirWorkApart) {
  factory_->HoldResolves();
  Make(1);
  ovtest::RecordingResolverDelegate other_delegate;
  auto other = std::make_unique<ovMultiProxyResolver>(factory_, 1);
  other->setDelegate(&other_delegate);
  ResolveRunning("mine");
  OnOrigin([&] {
    ovProxyInfo unused;
    EXPECT_EQ(other->resolve("theirs", "http://a/", "", PacConfig(), unused), e_pending);
  });
  ASSERT_TRUE(factory_->WaitUntilResolving("theirs"));
  // Both number their executor 0; each has a runner of its own.
  EXPECT_EQ(resolver_->executors()[0]->getRunnerName(), "ProxyExecutorRunner0");
  EXPECT_EQ(other->executors()[0]->getRunnerName(), "ProxyExecutorRunner0_1");

  DestroyOnOrigin();
  factory_->ReleaseAll();
  ASSERT_TRUE(other_delegate.WaitForAnswers(1));
  EXPECT_EQ(other_delegate.answeredIds(), Ids{"theirs"});
  OnOrigin([&] { other.reset(); });
  EXPECT_TRUE(delegate_.answers().empty());
}

TEST(MultiProxyResolverFactoryTest, MakesPoolsOfTheInnerFactorysResolvers) {
  ovtest::TaskEnvironment env("");
  ovtest::RecordingResolverDelegate delegate;
  {
    ovMultiProxyResolverFactory factory(std::make_shared<ovWinetSyncProxyResolverFactory>());
    std::unique_ptr<ovProxyAsyncResolver> resolver = factory.createAsyncResolver();
    resolver->setDelegate(&delegate);

    ovProxyInfo unused;
    ASSERT_EQ(resolver->resolve("r", "http://www.example.com/", "",
                                PacConfig("function FindProxyForURL(url, host) {"
                                          " return 'PROXY p:8080; DIRECT'; }"),
                                unused),
              e_pending);
    ASSERT_TRUE(delegate.WaitForAnswers(1));
    EXPECT_EQ(delegate.answers()[0].error, e_success);
    EXPECT_EQ(delegate.answers()[0].result->ToPacString(), "PROXY p:8080");
    // This thread serves no runner: the answer came on the main runner.
    EXPECT_EQ(delegate.answers()[0].runner, OrvaTask::kMainRunnerName);
  }
}

}  // namespace
}  // namespace OVProxy
