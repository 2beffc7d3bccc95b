// ovExecutor and its jobs: refusals, answers without a resolver, and the
// completion's fall-backs. Where jobs run, cancellation and stopping
// mid-flight are covered through the pool (ov_multi_proxy_resolver_test).
#include "OrvaProxy/ov_executor.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaProxy/ov_get_proxy_for_url_job.h"
#include "executor_test_util.h"
#include "ovtest/fake_telemetry_module.h"

namespace OVProxy {
namespace {

using testing_pool::kOrigin;
using testing_pool::PacConfig;

// The coordinator and the jobs' callback: records each idle notification
// and each answer ("request-id code") with the runner it came on.
class Recorder : public ovExecutor::Coordinator {
 public:
  JobCallback Callback() {
    return [this](eErrorCode error, const ovProxyInfo&, const std::string& id) {
      Add(answers_, id + " " + std::to_string(error) + " @" + Runner());
    };
  }
  void onExecutorIdle(ovExecutor& executor) override {
    EXPECT_TRUE(executor.isIdle());
    Add(idle_, Runner());
  }
  bool WaitForIdle(std::size_t count) { return WaitFor(idle_, count); }
  bool WaitForAnswers(std::size_t count) { return WaitFor(answers_, count); }
  std::string lastAnswer() { return Last(answers_); }
  std::string lastIdle() { return Last(idle_); }

 private:
  static std::string Runner() { return OrvaTask::GetRunnerNameOfCurrentThread(); }
  void Add(std::vector<std::string>& to, std::string entry) {
    std::lock_guard lock(mutex_);
    to.push_back(std::move(entry));
    changed_.notify_all();
  }
  bool WaitFor(const std::vector<std::string>& list, std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, ovtest::kWaitLimit, [&] { return list.size() >= count; });
  }
  std::string Last(const std::vector<std::string>& list) {
    std::lock_guard lock(mutex_);
    return list.empty() ? "" : list.back();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> answers_;
  std::vector<std::string> idle_;
};

class ExecutorTest : public testing_pool::PoolTest {
 protected:
  // A job's completion may still hold an executor the test let go of; only
  // stop guarantees that the coordinator is not called any more.
  ~ExecutorTest() override {
    for (const auto& executor : executors_) executor->stop();
  }

  std::shared_ptr<ovExecutor> NewExecutor(uint32_t id, ovExecutor::Coordinator* coordinator,
                                          std::shared_ptr<ovProxyResolverFactory> factory) {
    executors_.push_back(std::make_shared<ovExecutor>(coordinator, id, std::move(factory)));
    return executors_.back();
  }
  std::shared_ptr<ovExecutor> NewExecutor(uint32_t id) {
    return NewExecutor(id, &recorder_, factory_);
  }

  std::shared_ptr<ovGetProxyForURLJob> Job(const std::string& id,
                                           std::shared_ptr<ovProxyConfig> config = PacConfig()) {
    return std::make_shared<ovGetProxyForURLJob>(id, "http://a/", "extra", std::move(config),
                                                 recorder_.Callback());
  }
  // Creates the job on the origin runner and starts it there.
  bool StartOnOrigin(ovExecutor& executor, std::shared_ptr<ovResolveJob>* made,
                     const std::string& id) {
    bool started = false;
    OnOrigin([&] {
      *made = Job(id);
      started = executor.StartJob(*made);
    });
    return started;
  }

  Recorder recorder_;
  std::vector<std::shared_ptr<ovExecutor>> executors_;
};

TEST_F(ExecutorTest, StartJobRefusalsChangeNothing) {
  factory_->HoldResolves();
  auto busy = NewExecutor(0);
  std::shared_ptr<ovResolveJob> first;
  ASSERT_TRUE(StartOnOrigin(*busy, &first, "first"));
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
  auto without_runner = NewExecutor(2, nullptr, factory_);
  EXPECT_FALSE(without_runner->StartJob(Job("x")));

  auto idle = NewExecutor(4);
  {
    OrvaTask::ScopedOVTManagerOverride no_manager(nullptr);
    EXPECT_FALSE(idle->StartJob(Job("x")));
  }
  EXPECT_TRUE(idle->isIdle());
  factory_->ReleaseAll();
  ASSERT_TRUE(recorder_.WaitForIdle(1));
  EXPECT_EQ(factory_->started(), std::vector<std::string>{"first"});
}

TEST_F(ExecutorTest, MissingResolverOrConfigurationAnswersWithoutResolving) {
  struct Case {
    const char* name;
    bool with_factory;
    bool factory_fails;
    bool with_config;
    eErrorCode expected;
  };
  const Case cases[] = {
      {"no factory", false, false, true, e_resolver_not_initialized},
      {"factory failed", true, true, true, e_resolver_not_initialized},
      {"no configuration", true, false, false, e_invalid_argument},
  };
  std::size_t done = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    factory_->FailCreation(c.factory_fails);
    auto executor = NewExecutor(
        0, &recorder_, c.with_factory ? factory_ : std::shared_ptr<ovProxyResolverFactory>());
    OnOrigin([&] {
      EXPECT_TRUE(executor->StartJob(Job(c.name, c.with_config ? PacConfig() : nullptr)));
    });
    ASSERT_TRUE(recorder_.WaitForAnswers(++done));
    EXPECT_EQ(recorder_.lastAnswer(),
              std::string(c.name) + " " + std::to_string(c.expected) + " @" + kOrigin);
    executor->stop();
  }
  EXPECT_TRUE(factory_->started().empty());
}

TEST_F(ExecutorTest, CompletionFallsBackToTheMainRunnerThenRunsInline) {
  ovtest::FakeTelemetryModule telemetry;
  struct Case {
    std::set<std::string> refused;
    std::string completed_on;
    bool reported;
  };
  const Case cases[] = {
      {{kOrigin}, OrvaTask::kMainRunnerName, false},
      {{kOrigin, OrvaTask::kMainRunnerName}, "ProxyExecutorRunner0", true},
  };
  std::size_t done = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.completed_on);
    testing_pool::RefusingManager refusing(env_.manager(), c.refused);
    OrvaTask::ScopedOVTManagerOverride use(&refusing);
    auto executor = NewExecutor(0);
    std::shared_ptr<ovResolveJob> job;
    ASSERT_TRUE(StartOnOrigin(*executor, &job, "r"));
    ASSERT_TRUE(recorder_.WaitForIdle(++done));
    EXPECT_EQ(recorder_.lastAnswer(), "r 0 @" + c.completed_on);
    EXPECT_EQ(recorder_.lastIdle(), c.completed_on);

    const auto events = telemetry.events();
    ASSERT_EQ(events.size(), c.reported ? 1u : 0u);
    if (c.reported) {
      EXPECT_EQ(events[0].header.event_id, 39);
      EXPECT_EQ(events[0].fields, (orvaus::TelemetryFieldList{{"code", 8}, {"value", 1001}}));
    }
    executor->stop();
  }
}

}  // namespace
}  // namespace OVProxy
