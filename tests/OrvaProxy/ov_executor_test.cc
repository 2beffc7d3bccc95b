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

// What a job's callback was given, and on which runner.
class CallbackLog {
 public:
  struct Entry {
    std::string request_id;
    eErrorCode error;
    std::string answer;
    std::string runner;
  };

  JobCallback Callback() {
    return [this](eErrorCode error, const ovProxyInfo& info, const std::string& id) {
      std::lock_guard lock(mutex_);
      entries_.push_back({id, error, info.ToPacString(), OrvaTask::GetRunnerNameOfCurrentThread()});
      changed_.notify_all();
    };
  }
  bool WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, ovtest::kWaitLimit, [&] { return entries_.size() >= count; });
  }
  std::vector<Entry> entries() {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Entry> entries_;
};

class RecordingCoordinator : public ovExecutor::Coordinator {
 public:
  void onExecutorIdle(ovExecutor& executor) override {
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(executor.isIdle());
    runners_.push_back(OrvaTask::GetRunnerNameOfCurrentThread());
    changed_.notify_all();
  }
  bool WaitForIdle(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, ovtest::kWaitLimit, [&] { return runners_.size() >= count; });
  }
  std::vector<std::string> runners() {
    std::lock_guard lock(mutex_);
    return runners_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> runners_;
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
    return NewExecutor(id, &coordinator_, factory_);
  }

  std::shared_ptr<ovGetProxyForURLJob> Job(const std::string& id,
                                           std::shared_ptr<ovProxyConfig> config = PacConfig()) {
    return std::make_shared<ovGetProxyForURLJob>(id, "http://a/", "extra", std::move(config),
                                                 log_.Callback());
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

  CallbackLog log_;
  RecordingCoordinator coordinator_;
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
  ASSERT_TRUE(coordinator_.WaitForIdle(1));
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
        0, &coordinator_, c.with_factory ? factory_ : std::shared_ptr<ovProxyResolverFactory>());
    OnOrigin([&] {
      EXPECT_TRUE(executor->StartJob(Job(c.name, c.with_config ? PacConfig() : nullptr)));
    });
    ASSERT_TRUE(log_.WaitFor(++done));
    EXPECT_EQ(log_.entries().back().error, c.expected);
    EXPECT_EQ(log_.entries().back().runner, kOrigin);
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
    ASSERT_TRUE(coordinator_.WaitForIdle(++done));
    EXPECT_EQ(log_.entries().back().runner, c.completed_on);
    EXPECT_EQ(coordinator_.runners().back(), c.completed_on);

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
