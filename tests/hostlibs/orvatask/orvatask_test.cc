#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orvatask/orva_task.h"
#include "orvatask/ovt_task_manager.h"
#include "ovtest/log_capture.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace {

using namespace std::chrono_literals;

using OrvaTask::kInvalidRunnerId;
using OrvaTask::kMainRunnerName;
using OrvaTask::TaskState;

OrvaTask::TaskPtr MakeTask(std::function<void()> function, OrvaTask::TaskAttribute attr = {}) {
  if (attr.name.empty()) attr.name = "test";
  return OrvaTask::CreateOrvaTask(std::move(attr), std::move(function));
}

// Holds a runner busy until released, so that work queued behind it has
// certainly not started.
struct Gate {
  OrvaTask::TaskPtr BlockingTask() {
    return MakeTask([this] {
      entered.set_value();
      released_future.wait();
    });
  }
  void WaitEntered() { entered_future.wait(); }
  void Release() { released.set_value(); }
  std::promise<void> entered, released;
  std::shared_future<void> entered_future = entered.get_future().share(),
                           released_future = released.get_future().share();
};

// Declared in this order: runner threads stop before the clock goes away.
class OrvaTaskTest : public ::testing::Test {
 protected:
  ovtest::ManualClock clock_;
  ovtest::TaskEnvironment env_;  // the test thread serves the main runner
  OrvaTask::OVTManager& manager_ = env_.manager();
};

TEST_F(OrvaTaskTest, RunsInPostingOrderOnOneThreadWithItsName) {
  const OrvaTask::RunnerId id = manager_.CreateRunner("worker", 7);
  ASSERT_NE(id, kInvalidRunnerId);
  EXPECT_EQ(manager_.CreateRunner("worker", 7), id) << "a taken name answers its runner";

  std::vector<std::string> seen;
  std::set<std::thread::id> threads;
  OrvaTask::TaskPtr last;
  for (int i = 0; i < 50; ++i) {
    last = MakeTask([&, i] {
      seen.push_back(std::to_string(i) + "@" + OrvaTask::GetRunnerNameOfCurrentThread());
      threads.insert(std::this_thread::get_id());
    });
    // Alternate posting by name and by id; both reach the same queue.
    ASSERT_TRUE(i % 2 ? manager_.PostTask("worker", last) : manager_.PostTask(id, last));
  }
  ASSERT_TRUE(manager_.WaitForTask(last));
  std::vector<std::string> expected;
  for (int i = 0; i < 50; ++i) expected.push_back(std::to_string(i) + "@worker");
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST_F(OrvaTaskTest, HostRunnerRunsOnlyWhenPumpedAndNeverInsideThePost) {
  EXPECT_EQ(OrvaTask::GetRunnerNameOfCurrentThread(), kMainRunnerName);

  // Posting to one's own runner queues behind; it does not run inline.
  std::vector<std::string> log;
  ASSERT_TRUE(manager_.PostTask(kMainRunnerName, MakeTask([&] {
                                  log.push_back("outer");
                                  manager_.PostTask(kMainRunnerName,
                                                    MakeTask([&] { log.push_back("inner"); }));
                                  log.push_back("outer done");
                                })));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(env_.RunUntilIdle(), 2u);
  EXPECT_EQ(log, (std::vector<std::string>{"outer", "outer done", "inner"}));

  // Delayed work that came due joins the queue behind work already ready.
  log.clear();
  manager_.PostTask(kMainRunnerName, MakeTask([&] { log.push_back("due"); }, {.delay_ms = 10}));
  clock_.Advance(10ms);
  manager_.PostTask(kMainRunnerName, MakeTask([&] { log.push_back("ready"); }));
  env_.RunUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"ready", "due"}));
}

TEST(OrvaTaskRunner, DestroyingAHostRunnerRemovesItAndDropsItsWork) {
  ovtest::TaskEnvironment env("");
  auto& manager = env.manager();
  auto host = manager.CreateHostRunner("pumped", 0);
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(OrvaTask::GetRunnerNameOfCurrentThread(), "pumped");
  auto queued = MakeTask([] {});
  ASSERT_TRUE(manager.PostTask(host->id(), queued));
  host.reset();
  EXPECT_EQ(queued->state(), TaskState::kDropped);
  EXPECT_EQ(OrvaTask::GetRunnerNameOfCurrentThread(), "");
  EXPECT_FALSE(manager.PostTask("pumped", MakeTask([] {})));
}

TEST_F(OrvaTaskTest, RefusedPostsLeaveTheTaskUnrunAndWaitReturns) {
  bool ran = false;

  auto unknown = MakeTask([&] { ran = true; });
  EXPECT_FALSE(manager_.PostTask("no such runner", unknown));
  EXPECT_FALSE(manager_.PostTask(OrvaTask::RunnerId{4242}, unknown));
  EXPECT_EQ(unknown->state(), TaskState::kCreated);
  EXPECT_FALSE(manager_.WaitForTask(unknown));
  EXPECT_FALSE(manager_.RemoveRunner(kMainRunnerName)) << "the main runner always exists";

  // A task is posted once: the second post is refused and it runs once.
  auto twice = MakeTask([&] { ran = !ran; });
  EXPECT_TRUE(manager_.PostTask(kMainRunnerName, twice));
  EXPECT_FALSE(manager_.PostTask(kMainRunnerName, twice));
  env_.RunUntilIdle();
  EXPECT_TRUE(ran);

  EXPECT_EQ(manager_.CreateHostRunner("other", 0), nullptr)
      << "the test thread already serves the main runner";
}

TEST_F(OrvaTaskTest, RemovingDropsQueuedWorkAndRefusesNewWork) {
  const OrvaTask::RunnerId id = manager_.CreateRunner("victim", 0);
  Gate gate;
  auto blocker = gate.BlockingTask();
  ASSERT_TRUE(manager_.PostTask(id, blocker));
  gate.WaitEntered();

  auto captured = std::make_shared<int>(1);
  std::weak_ptr<int> watch = captured;
  bool queued_ran = false;
  auto queued = MakeTask([&queued_ran, captured] { queued_ran = true; });
  captured.reset();
  ASSERT_TRUE(manager_.PostTask(id, queued));

  EXPECT_TRUE(manager_.RemoveRunner("victim"));
  EXPECT_EQ(queued->state(), TaskState::kDropped);
  EXPECT_TRUE(watch.expired()) << "a dropped task releases what it captured";
  EXPECT_FALSE(manager_.WaitForTask(queued));
  EXPECT_FALSE(manager_.PostTask(id, MakeTask([] {})));

  // The running task is not interrupted.
  gate.Release();
  EXPECT_TRUE(manager_.WaitForTask(blocker));
  EXPECT_FALSE(queued_ran);

  // The name can be used again, by a new runner under a new id.
  const OrvaTask::RunnerId again = manager_.CreateRunner("victim", 0);
  EXPECT_NE(again, kInvalidRunnerId);
  EXPECT_NE(again, id);
}

TEST_F(OrvaTaskTest, RemovingOrWaitingFromItsOwnThreadDoesNotDeadlock) {
  manager_.CreateRunner("self", 0);
  bool later_ran = false;
  bool removed = false;
  std::string name_after_removal = "unset";
  auto remover = MakeTask([&] {
    removed = manager_.RemoveRunner("self");
    name_after_removal = OrvaTask::GetRunnerNameOfCurrentThread();
  });
  auto later = MakeTask([&] { later_ran = true; });
  Gate gate;
  ASSERT_TRUE(manager_.PostTask("self", gate.BlockingTask()));
  ASSERT_TRUE(manager_.PostTask("self", remover));
  ASSERT_TRUE(manager_.PostTask("self", later));
  gate.Release();
  EXPECT_TRUE(manager_.WaitForTask(remover));
  EXPECT_FALSE(manager_.WaitForTask(later));
  EXPECT_TRUE(removed);
  EXPECT_FALSE(later_ran);
  EXPECT_EQ(name_after_removal, "");

  // Waiting on one's own runner answers instead of hanging.
  manager_.CreateRunner("r", 0);
  auto queued_behind = MakeTask([] {});
  bool wait_answer = true;
  auto waiter = MakeTask([&] {
    manager_.PostTask("r", queued_behind);
    wait_answer = manager_.WaitForTask(queued_behind);
  });
  ASSERT_TRUE(manager_.PostTask("r", waiter));
  EXPECT_TRUE(manager_.WaitForTask(waiter));
  EXPECT_FALSE(wait_answer);
  EXPECT_TRUE(manager_.WaitForTask(queued_behind)) << "it still runs afterwards";

  // The same on a host runner: the test thread would never pump while waiting.
  auto hosted = MakeTask([] {});
  ASSERT_TRUE(manager_.PostTask(kMainRunnerName, hosted));
  EXPECT_FALSE(manager_.WaitForTask(hosted));
  env_.RunUntilIdle();
  EXPECT_TRUE(manager_.WaitForTask(hosted));
}

TEST_F(OrvaTaskTest, CancelDropsQueuedWorkByValueAndKeyButNotRunningWork) {
  manager_.CreateRunner("a", 0);
  const auto key = OrvaTask::GenerateUniqueKey("group");

  Gate gate;
  std::atomic<int> ran{0};
  auto blocker = gate.BlockingTask();
  ASSERT_TRUE(manager_.PostTask("a", blocker));
  gate.WaitEntered();

  auto by_value = MakeTask([&] { ran += 10; }, {.value = 61});
  auto by_key =
      MakeTask([&] { ran += 100; }, {.unique_keys = {OrvaTask::GenerateUniqueKey("x"), key}});
  auto delayed_by_key = MakeTask([&] { ran += 1000; }, {.delay_ms = 5, .unique_keys = {key}});
  auto on_main = MakeTask([&] { ran += 10000; }, {.unique_keys = {key}});
  auto survivor = MakeTask([&] { ran += 100000; }, {.value = 62});
  for (const auto& task : {by_value, by_key, delayed_by_key, survivor}) {
    ASSERT_TRUE(manager_.PostTask("a", task));
  }
  ASSERT_TRUE(manager_.PostTask(kMainRunnerName, on_main));

  EXPECT_EQ(manager_.CancelTasksByValue(61), 1u);
  EXPECT_EQ(manager_.CancelTasksByUniqueKey(key), 3u) << "on every runner, delayed work included";
  EXPECT_EQ(manager_.CancelTasksByUniqueKey(key), 0u);
  gate.Release();
  EXPECT_TRUE(manager_.WaitForTask(survivor));
  EXPECT_EQ(ran.load(), 100000);
  for (const auto& task : {by_value, by_key, delayed_by_key, on_main}) {
    EXPECT_EQ(task->state(), TaskState::kDropped);
  }
  EXPECT_EQ(env_.RunUntilIdle(), 0u);
}

TEST_F(OrvaTaskTest, AThrowingTaskIsLoggedAndTheRunnerCarriesOn) {
  ovtest::LogCapture log;
  manager_.CreateRunner("r", 0);
  auto thrower = MakeTask([] { throw std::runtime_error("boom"); },
                          {.name = "Thrower", .location = OrvaTask::SourceLocation::Current()});
  auto next = MakeTask([] {});
  ASSERT_TRUE(manager_.PostTask("r", thrower));
  ASSERT_TRUE(manager_.PostTask("r", next));
  EXPECT_TRUE(manager_.WaitForTask(next));
  EXPECT_TRUE(log.Contains("OrvaTask: task threw - name=Thrower, runner=r", klb::LogLevel::kError))
      << log.Dump();
  EXPECT_TRUE(log.Contains("orvatask_test.cc:")) << "the task's source location is logged";
  EXPECT_TRUE(log.Contains("what=boom"));
}

TEST(OrvaTaskManager, ShutdownDropsQueuedWorkWakesWaitersAndRefusesEverything) {
  OrvaTask::OVTManager manager;
  manager.CreateRunner("r", 0);
  Gate gate;
  ASSERT_TRUE(manager.PostTask("r", gate.BlockingTask()));
  gate.WaitEntered();
  auto queued = MakeTask([] {});
  ASSERT_TRUE(manager.PostTask("r", queued));
  // Shutdown drops the queued task, which wakes the waiter, which then lets
  // the running task finish so that Shutdown can join its thread.
  std::thread waiter([&] {
    EXPECT_FALSE(manager.WaitForTask(queued));
    gate.Release();
  });
  manager.Shutdown();
  waiter.join();
  EXPECT_TRUE(manager.IsShutDown());
  EXPECT_EQ(queued->state(), TaskState::kDropped);
  EXPECT_EQ(manager.GetRunnerId(kMainRunnerName), kInvalidRunnerId);
  EXPECT_EQ(manager.CreateRunner("new", 0), kInvalidRunnerId);
  EXPECT_FALSE(manager.PostTask(kMainRunnerName, MakeTask([] {})));
  manager.Shutdown();  // again: nothing to do
}

TEST(OrvaTaskManager, ShutdownFromATaskDoesNotDeadlock) {
  OrvaTask::OVTManager manager;
  manager.CreateRunner("r", 0);
  auto stopper = MakeTask([&] { manager.Shutdown(); });
  ASSERT_TRUE(manager.PostTask("r", stopper));
  EXPECT_TRUE(manager.WaitForTask(stopper));
  manager.Shutdown();  // waits for the first shutdown to finish
  EXPECT_TRUE(manager.IsShutDown());
}

// The process's own manager: created on first use with its main runner; a
// process that never shuts it down explicitly still exits cleanly.
TEST(OrvaTaskManager, ProcessManagerServesTheMainRunner) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(OrvaTask::GetOVTManager(), manager);
  std::string name;
  auto task = MakeTask([&] { name = OrvaTask::GetRunnerNameOfCurrentThread(); });
  ASSERT_TRUE(manager->PostTask(kMainRunnerName, task));
  EXPECT_TRUE(manager->WaitForTask(task));
  EXPECT_EQ(name, kMainRunnerName);
  manager->CreateRunner("left running at exit", 0);
}

TEST_F(OrvaTaskTest, ThreadRunnerRunsDelayedWorkWhenTheClockReachesIt) {
  manager_.CreateRunner("timer", 0);

  std::vector<std::string> order;
  auto second = MakeTask([&] { order.push_back("1000 ms, posted first"); }, {.delay_ms = 1000});
  auto third = MakeTask([&] { order.push_back("1000 ms, posted second"); }, {.delay_ms = 1000});
  auto first = MakeTask([&] { order.push_back("400 ms (explicit)"); }, {.delay_ms = 60000});
  ASSERT_TRUE(manager_.PostTask("timer", second));
  ASSERT_TRUE(manager_.PostTask("timer", third));
  ASSERT_TRUE(manager_.PostDelayedTask("timer", first, 400ms));

  // Work posted without delay runs at once; the delayed work waits for the clock_.
  clock_.Advance(399ms);
  ASSERT_TRUE(env_.Flush("timer"));
  EXPECT_TRUE(order.empty());
  clock_.Advance(1ms);
  EXPECT_TRUE(manager_.WaitForTask(first));
  clock_.Advance(599ms);
  ASSERT_TRUE(env_.Flush("timer"));
  EXPECT_EQ(second->state(), TaskState::kQueued);
  clock_.Advance(1ms);
  EXPECT_TRUE(manager_.WaitForTask(third));
  EXPECT_EQ(order, (std::vector<std::string>{"400 ms (explicit)", "1000 ms, posted first",
                                             "1000 ms, posted second"}));
}

// Many threads posting, cancelling, removing and re-creating runners and
// moving the clock at once (for the thread sanitizer as much as for the
// assertions): every task ends once (ran, dropped or refused), and one
// poster's work on one runner runs in posting order.
constexpr int kPosters = 4;
constexpr int kTasksPerPoster = 400;
const char* const kRunners[] = {"c0", "c1", "c2"};

TEST_F(OrvaTaskTest, PostCancelRemoveAndClockMovesTogether) {
  for (const char* name : kRunners) manager_.CreateRunner(name, 0);

  std::atomic<int> runs{0};
  std::atomic<bool> order_broken{false};
  // Last sequence number of undelayed work seen per (poster, runner thread):
  // each runner instance has a thread of its own.
  std::mutex seen_mutex;
  std::map<std::pair<int, std::thread::id>, int> last_seen;

  std::vector<OrvaTask::TaskPtr> all[kPosters];
  std::vector<std::thread> threads;
  for (int poster = 0; poster < kPosters; ++poster) {
    threads.emplace_back([&, poster] {
      const auto poster_key = OrvaTask::GenerateUniqueKey("poster" + std::to_string(poster));
      for (int i = 0; i < kTasksPerPoster; ++i) {
        const bool delayed = i % 5 == 0;
        auto task = MakeTask(
            [&, poster, i, delayed] {
              runs++;
              if (delayed) return;
              std::lock_guard lock(seen_mutex);
              auto [it, first] = last_seen.try_emplace({poster, std::this_thread::get_id()}, i);
              if (!first && i <= it->second) order_broken = true;
              it->second = i;
            },
            {.value = static_cast<uint32_t>(i % 7),
             .delay_ms = delayed ? 3u : 0u,
             .unique_keys = {poster_key}});
        manager_.PostTask(kRunners[i % 3], task);
        all[poster].push_back(task);
        if (i % 50 == 49) manager_.CancelTasksByUniqueKey(poster_key);
      }
    });
  }
  threads.emplace_back([&] {
    for (int round = 0; round < 40; ++round) {
      manager_.RemoveRunner(kRunners[round % 3]);
      manager_.CreateRunner(kRunners[round % 3], 0);
      manager_.CancelTasksByValue(static_cast<uint32_t>(round % 7));
    }
  });
  threads.emplace_back([&] {
    for (int step = 0; step < 200; ++step) clock_.Advance(1ms);
  });
  for (auto& thread : threads) thread.join();

  // Whatever is still delayed becomes due; then every wait must return (a
  // refused task answers at once), and what ran, ran once.
  clock_.Advance(1s);
  int finished_by_run = 0;
  for (auto& tasks : all) {
    for (auto& task : tasks) finished_by_run += manager_.WaitForTask(task) ? 1 : 0;
  }
  EXPECT_EQ(finished_by_run, runs.load());
  // After the storm every runner still takes and runs work.
  for (const char* name : kRunners) {
    auto after = MakeTask([] {});
    ASSERT_TRUE(manager_.PostTask(name, after));
    EXPECT_TRUE(manager_.WaitForTask(after));
  }
  // Dropping only removes, so one poster's undelayed work never goes back.
  EXPECT_FALSE(order_broken.load());
}

}  // namespace
