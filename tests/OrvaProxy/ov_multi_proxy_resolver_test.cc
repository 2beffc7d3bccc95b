// The executors and their pool (ovMultiProxyResolver).
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_limits.h"
#include "OrvaProxy/oPACParser/js_runner.h"
#include "OrvaProxy/ov_executor.h"
#include "OrvaProxy/ov_get_proxy_for_url_job.h"
#include "OrvaProxy/ov_multi_proxy_resolver.h"
#include "OrvaProxy/ov_multi_proxy_resolver_factory.h"
#include "OrvaProxy/ov_resolve_job.h"
#include "OrvaProxy/ov_task_constants.h"
#include "OrvaProxy/ov_winet_sync_proxy_resolver_factory.h"
#include "orvatask/orva_task.h"
#include "ovtest/blocking_proxy_resolver.h"
#include "ovtest/fake_telemetry_module.h"
#include "ovtest/task_environment.h"
#include "ovtest/under_wine.h"

namespace OVProxy {
namespace {

using Ids = std::vector<std::string>;

constexpr const char* kOrigin = kResolveRunnerName;  // where the service uses the pool

std::shared_ptr<ovProxyConfig> PacConfig(const std::string& text = "") {
  auto config = std::make_shared<ovProxyConfig>(
      ovProxyConfig::CreateFromCustomPacURL("http://wpad/proxy.pac"));
  config->setPacContent(text);
  return config;
}

// Refuses by-name posts to chosen runners and, on demand, new runners.
class RefusingManager : public OrvaTask::IOVTManager {
 public:
  RefusingManager(OrvaTask::IOVTManager& inner, std::set<std::string> refused = {})
      : inner_(inner), refused_(std::move(refused)) {}
  std::atomic<bool> refuse_new_runners{false};
  OrvaTask::RunnerId CreateRunner(std::string_view name, uint32_t value) override {
    return refuse_new_runners ? OrvaTask::kInvalidRunnerId : inner_.CreateRunner(name, value);
  }
  OrvaTask::RunnerId GetRunnerId(std::string_view name) override {
    return inner_.GetRunnerId(name);
  }
  bool RemoveRunner(std::string_view name) override { return inner_.RemoveRunner(name); }
  bool RemoveRunner(OrvaTask::RunnerId id) override { return inner_.RemoveRunner(id); }
  bool PostTask(std::string_view runner, const OrvaTask::TaskPtr& task) override {
    return refused_.count(std::string(runner)) == 0 && inner_.PostTask(runner, task);
  }
  bool PostTask(OrvaTask::RunnerId runner, const OrvaTask::TaskPtr& task) override {
    return inner_.PostTask(runner, task);
  }
  bool PostDelayedTask(std::string_view runner, const OrvaTask::TaskPtr& task,
                       std::chrono::milliseconds delay) override {
    return refused_.count(std::string(runner)) == 0 && inner_.PostDelayedTask(runner, task, delay);
  }
  bool PostDelayedTask(OrvaTask::RunnerId runner, const OrvaTask::TaskPtr& task,
                       std::chrono::milliseconds delay) override {
    return inner_.PostDelayedTask(runner, task, delay);
  }
  std::size_t CancelTasksByValue(uint32_t value) override {
    return inner_.CancelTasksByValue(value);
  }
  std::size_t CancelTasksByUniqueKey(const OrvaTask::UniqueKey& key) override {
    return inner_.CancelTasksByUniqueKey(key);
  }
  bool WaitForTask(const OrvaTask::TaskPtr& task) override { return inner_.WaitForTask(task); }

 private:
  OrvaTask::IOVTManager& inner_;
  const std::set<std::string> refused_;
};

class PoolTest : public ::testing::Test {
 protected:
  PoolTest() { EXPECT_NE(env_.manager().CreateRunner(kOrigin, 62), OrvaTask::kInvalidRunnerId); }
  // Nothing may wait for the test once it ends.
  ~PoolTest() override {
    factory_->ReleaseCreation();
    factory_->ReleaseAll();
  }

  // Runs `function` on the origin runner and waits until it ran.
  void OnOrigin(std::function<void()> function) {
    auto task = OrvaTask::CreateOrvaTask({.name = "test_on_origin"}, std::move(function));
    ASSERT_TRUE(env_.manager().PostTask(kOrigin, task));
    ASSERT_TRUE(env_.manager().WaitForTask(task));
  }

  ovtest::TaskEnvironment env_{""};
  std::shared_ptr<ovtest::BlockingResolverFactory> factory_ =
      std::make_shared<ovtest::BlockingResolverFactory>();
};

// Records the jobs' answers ("request-id code @runner") and idle notices.
struct Recorder : ovExecutor::Coordinator {
  JobCallback Callback() {
    return [this](eErrorCode error, const ovProxyInfo&, const std::string& id) {
      Add(answers, id + " " + std::to_string(error) + " @");
    };
  }
  void onExecutorIdle(ovExecutor& executor) override {
    EXPECT_TRUE(executor.isIdle());
    Add(idle, "");
  }
  static void Add(ovtest::Watched<Ids>& to, const std::string& entry) {
    to.With([&](Ids& all) {
      return all.push_back(entry + OrvaTask::GetRunnerNameOfCurrentThread()), 0;
    });
  }
  static bool Wait(ovtest::Watched<Ids>& list, std::size_t n) {
    return list.WaitFor([n](Ids& all) { return all.size() >= n; });
  }
  static std::string Last(ovtest::Watched<Ids>& list) {
    return list.With([](Ids& all) { return all.empty() ? std::string() : all.back(); });
  }
  ovtest::Watched<Ids> answers, idle;
};

class ExecutorTest : public PoolTest {
 protected:
  // Only stop keeps a completion still holding an executor off the coordinator.
  ~ExecutorTest() override {
    for (const auto& executor : executors_) executor->stop();
  }

  std::shared_ptr<ovExecutor> NewExecutor(uint32_t id, bool coordinator = true,
                                          bool with_factory = true) {
    executors_.push_back(std::make_shared<ovExecutor>(coordinator ? &recorder_ : nullptr, id,
                                                      with_factory ? factory_ : nullptr));
    return executors_.back();
  }

  std::shared_ptr<ovGetProxyForURLJob> Job(const std::string& id,
                                           std::shared_ptr<ovProxyConfig> config = PacConfig()) {
    return std::make_shared<ovGetProxyForURLJob>(id, "http://a/", "extra", std::move(config),
                                                 recorder_.Callback());
  }
  // Creates the job on the origin runner and starts it there; null if refused.
  std::shared_ptr<ovResolveJob> StartOnOrigin(ovExecutor& executor, const std::string& id) {
    std::shared_ptr<ovResolveJob> job = Job(id);
    OnOrigin([&] {
      if (!executor.StartJob(job)) job.reset();
    });
    return job;
  }

  Recorder recorder_;
  std::vector<std::shared_ptr<ovExecutor>> executors_;
};

// Stopping an executor (as uninitialize does) ends the PAC evaluation its
// job is running, instead of waiting out the engine's time bound.
TEST_F(ExecutorTest, StoppingEndsTheEvaluationInProgress) {
  if (ovtest::UnderWine()) GTEST_SKIP() << "Wine's JScript cannot stop a running script";
  const js_limits_t previous = js_set_limits({600'000, kJsDefaultHeapLimitBytes});
  executors_.push_back(std::make_shared<ovExecutor>(
      &recorder_, 0, std::make_shared<ovWinetSyncProxyResolverFactory>()));
  const int64_t started = js_engine_stats().evaluations;
  auto job = std::make_shared<ovGetProxyForURLJob>(
      "loop", "http://a/", "", PacConfig("function FindProxyForURL(u, h) { while (true) {} }"),
      recorder_.Callback());
  OnOrigin([&] { EXPECT_TRUE(executors_.back()->StartJob(job)); });
  while (js_engine_stats().evaluations == started) std::this_thread::yield();
  executors_.back()->stop();
  // One evaluation at a time: this one runs once the stopped one ended, and
  // would wait the ten minutes out if it had not been interrupted.
  std::string answer;
  EXPECT_EQ(js_runner_t("function FindProxyForURL(u, h) { return 'DIRECT'; }")
                .run("http://b/", "b", answer),
            kJsOk);
  js_set_limits(previous);
}

TEST_F(ExecutorTest, StartJobRefusalsChangeNothing) {
  factory_->HoldResolves();
  auto busy = NewExecutor(0);
  const auto first = StartOnOrigin(*busy, "first");
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(busy->StartJob(Job("second")));
  EXPECT_EQ(busy->currentJob(), first);
  EXPECT_FALSE(busy->StartJob(nullptr));
  EXPECT_EQ(busy->currentJob(), first);
  auto stopped = NewExecutor(1);
  stopped->stop();
  stopped->stop();  // acts once
  EXPECT_FALSE(stopped->StartJob(Job("x")));
  EXPECT_TRUE(stopped->isIdle());
  // Without a coordinator no runner is made, so no job can run.
  EXPECT_FALSE(NewExecutor(2, false)->StartJob(Job("x")));
  auto idle = NewExecutor(4);
  {
    OrvaTask::ScopedOVTManagerOverride no_manager(nullptr);
    EXPECT_FALSE(idle->StartJob(Job("x")));
  }
  EXPECT_TRUE(idle->isIdle());
  factory_->ReleaseAll();
  ASSERT_TRUE(Recorder::Wait(recorder_.idle, 1));
  EXPECT_EQ(factory_->started(), std::vector<std::string>{"first"});
}

TEST_F(ExecutorTest, MissingResolverOrConfigurationAnswersWithoutResolving) {
  const struct {
    const char* name;
    bool with_factory, factory_fails, with_config;
    eErrorCode expected;
  } cases[] = {
      {"no factory", false, false, true, e_resolver_not_initialized},
      {"factory failed", true, true, true, e_resolver_not_initialized},
      {"no configuration", true, false, false, e_invalid_argument},
  };
  std::size_t done = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    factory_->FailCreation(c.factory_fails);
    auto executor = NewExecutor(0, true, c.with_factory);
    OnOrigin([&] {
      EXPECT_TRUE(executor->StartJob(Job(c.name, c.with_config ? PacConfig() : nullptr)));
    });
    ASSERT_TRUE(Recorder::Wait(recorder_.answers, ++done));
    EXPECT_EQ(Recorder::Last(recorder_.answers),
              std::string(c.name) + " " + std::to_string(c.expected) + " @" + kOrigin);
    executor->stop();
  }
  EXPECT_TRUE(factory_->started().empty());
}

TEST_F(ExecutorTest, CompletionFallsBackToTheMainRunnerThenRunsInline) {
  ovtest::FakeTelemetryModule telemetry;
  const struct {
    std::set<std::string> refused;
    std::string completed_on;
    bool reported;
  } cases[] = {
      {{kOrigin}, OrvaTask::kMainRunnerName, false},
      {{kOrigin, OrvaTask::kMainRunnerName}, "ProxyExecutorRunner0", true},
  };
  std::size_t done = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.completed_on);
    RefusingManager refusing(env_.manager(), c.refused);
    OrvaTask::ScopedOVTManagerOverride use(&refusing);
    auto executor = NewExecutor(0);
    ASSERT_NE(StartOnOrigin(*executor, "r"), nullptr);
    ASSERT_TRUE(Recorder::Wait(recorder_.idle, ++done));
    EXPECT_EQ(Recorder::Last(recorder_.answers), "r 0 @" + c.completed_on);
    EXPECT_EQ(Recorder::Last(recorder_.idle), c.completed_on);
    const auto events = telemetry.events();
    ASSERT_EQ(events.size(), c.reported ? 1u : 0u);
    if (c.reported) {
      EXPECT_EQ(events[0].header.event_id, 39);
      EXPECT_EQ(events[0].fields, (orvaus::TelemetryFieldList{{"code", 8}, {"value", 1001}}));
    }
    executor->stop();
  }
}

class MultiProxyResolverTest : public PoolTest {
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
  ASSERT_EQ(resolver_->executors().size(), 1u);
  ASSERT_TRUE(factory_->WaitForCreationCalls(1));
  EXPECT_TRUE(factory_->started().empty()) << "the resolver is made first, on the executor";
  factory_->ReleaseCreation();
  ASSERT_TRUE(delegate_.WaitForAnswers(1));
  EXPECT_EQ(ovtest::Text(delegate_.answers()[0]),
            "r1 0 kind 1: PROXY p:8080 @" + std::string(kOrigin));
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
  const struct {
    bool with_factory;
    std::string url;
    bool with_config, with_manager;
    eErrorCode expected;
  } cases[] = {
      {false, "http://a/", true, true, e_resolver_not_initialized},
      {true, "http://a/", false, true, e_invalid_argument},
      {true, "", true, true, e_invalid_argument},
      // No executor can start, so the request would wait forever.
      {true, "http://a/", true, false, e_resolver_not_initialized},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
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
  }
  EXPECT_EQ(factory_->creationCalls(), 0u);
  EXPECT_TRUE(delegate_.answers().empty());
}

// An executor whose runner went away leaves the pool; its queued request runs
// on a replacement or, when none can be made, is answered with an error.
TEST_F(MultiProxyResolverTest, RequestsNoExecutorCanRunAreStillAnswered) {
  struct Case {
    bool new_runners_refused;
    eErrorCode queued_answer;
  };
  for (const Case& c : {Case{true, e_resolver_not_initialized}, Case{false, e_success}}) {
    SCOPED_TRACE(c.new_runners_refused ? "no replacement" : "replaced");
    RefusingManager manager(env_.manager());
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
  ovMultiProxyResolverFactory factory(std::make_shared<ovWinetSyncProxyResolverFactory>());
  std::unique_ptr<ovProxyAsyncResolver> resolver = factory.createAsyncResolver();
  resolver->setDelegate(&delegate);
  ovProxyInfo unused;
  const char* pac = "function FindProxyForURL(url, host) { return 'PROXY p:8080; DIRECT'; }";
  ASSERT_EQ(resolver->resolve("r", "http://www.example.com/", "", PacConfig(pac), unused),
            e_pending);
  ASSERT_TRUE(delegate.WaitForAnswers(1));
  // This thread serves no runner: the answer came on the main runner.
  EXPECT_EQ(ovtest::Text(delegate.answers()[0]), "r 0 kind 1: PROXY p:8080 @main.thread.runner");
}

}  // namespace
}  // namespace OVProxy
