#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orvatask/ovt_task_manager.h"
#include "orvatask_test_util.h"
#include "ovtest/log_capture.h"
#include "ovtest/task_environment.h"

namespace {

using OrvaTask::kInvalidRunnerId;
using OrvaTask::kMainRunnerName;
using OrvaTask::TaskState;
using orvatask_test::Gate;
using orvatask_test::MakeTask;

TEST(OrvaTaskRunner, RunsInPostingOrderOnOneThreadWithItsName) {
  ovtest::TaskEnvironment env("");
  auto& manager = env.manager();
  const OrvaTask::RunnerId id = manager.CreateRunner("worker", 7);
  ASSERT_NE(id, kInvalidRunnerId);
  EXPECT_EQ(manager.CreateRunner("worker", 7), id) << "a taken name answers its runner";

  std::vector<std::string> seen;
  std::set<std::thread::id> threads;
  OrvaTask::TaskPtr last;
  for (int i = 0; i < 50; ++i) {
    last = MakeTask([&, i] {
      seen.push_back(std::to_string(i) + "@" + OrvaTask::GetRunnerNameOfCurrentThread());
      threads.insert(std::this_thread::get_id());
    });
    // Alternate posting by name and by id; both reach the same queue.
    ASSERT_TRUE(i % 2 ? manager.PostTask("worker", last) : manager.PostTask(id, last));
  }
  ASSERT_TRUE(manager.WaitForTask(last));
  std::vector<std::string> expected;
  for (int i = 0; i < 50; ++i) expected.push_back(std::to_string(i) + "@worker");
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST(OrvaTaskRunner, HostRunnerRunsOnlyWhenPumpedAndNeverInsideThePost) {
  ovtest::TaskEnvironment env;  // the test thread serves the main runner
  auto& manager = env.manager();
  EXPECT_EQ(OrvaTask::GetRunnerNameOfCurrentThread(), kMainRunnerName);

  std::vector<std::string> log;
  ASSERT_TRUE(manager.PostTask(kMainRunnerName, MakeTask([&] {
                                 log.push_back("outer");
                                 // Posting to one's own runner queues behind; it does not run
                                 // inline.
                                 manager.PostTask(kMainRunnerName,
                                                  MakeTask([&] { log.push_back("inner"); }));
                                 log.push_back("outer done");
                               })));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(env.RunUntilIdle(), 2u);
  EXPECT_EQ(log, (std::vector<std::string>{"outer", "outer done", "inner"}));
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

TEST(OrvaTaskRunner, RefusedPostsLeaveTheTaskUnrunAndWaitReturns) {
  ovtest::TaskEnvironment env;
  auto& manager = env.manager();
  bool ran = false;

  auto unknown = MakeTask([&] { ran = true; });
  EXPECT_FALSE(manager.PostTask("no such runner", unknown));
  EXPECT_FALSE(manager.PostTask(OrvaTask::RunnerId{4242}, unknown));
  EXPECT_EQ(unknown->state(), TaskState::kCreated);
  EXPECT_FALSE(manager.WaitForTask(unknown));
  EXPECT_FALSE(manager.RemoveRunner(kMainRunnerName)) << "the main runner always exists";

  // A task is posted once: the second post is refused and it runs once.
  auto twice = MakeTask([&] { ran = !ran; });
  EXPECT_TRUE(manager.PostTask(kMainRunnerName, twice));
  EXPECT_FALSE(manager.PostTask(kMainRunnerName, twice));
  env.RunUntilIdle();
  EXPECT_TRUE(ran);

  EXPECT_EQ(manager.CreateHostRunner("other", 0), nullptr)
      << "the test thread already serves the main runner";
}

TEST(OrvaTaskRunner, RemovingDropsQueuedWorkAndRefusesNewWork) {
  ovtest::TaskEnvironment env;
  auto& manager = env.manager();
  const OrvaTask::RunnerId id = manager.CreateRunner("victim", 0);
  Gate gate;
  auto blocker = gate.BlockingTask();
  ASSERT_TRUE(manager.PostTask(id, blocker));
  gate.WaitEntered();

  auto captured = std::make_shared<int>(1);
  std::weak_ptr<int> watch = captured;
  bool queued_ran = false;
  auto queued = MakeTask([&queued_ran, captured] { queued_ran = true; });
  captured.reset();
  ASSERT_TRUE(manager.PostTask(id, queued));

  EXPECT_TRUE(manager.RemoveRunner("victim"));
  EXPECT_EQ(queued->state(), TaskState::kDropped);
  EXPECT_TRUE(watch.expired()) << "a dropped task releases what it captured";
  EXPECT_FALSE(manager.WaitForTask(queued));
  EXPECT_FALSE(manager.PostTask(id, MakeTask([] {})));

  // The running task is not interrupted.
  gate.Release();
  EXPECT_TRUE(manager.WaitForTask(blocker));
  EXPECT_FALSE(queued_ran);

  // The name can be used again, by a new runner under a new id.
  const OrvaTask::RunnerId again = manager.CreateRunner("victim", 0);
  EXPECT_NE(again, kInvalidRunnerId);
  EXPECT_NE(again, id);
}

TEST(OrvaTaskRunner, RemovingItselfFromItsOwnThreadDoesNotDeadlock) {
  ovtest::TaskEnvironment env;
  auto& manager = env.manager();
  manager.CreateRunner("self", 0);
  bool later_ran = false;
  bool removed = false;
  std::string name_after_removal = "unset";
  auto remover = MakeTask([&] {
    removed = manager.RemoveRunner("self");
    name_after_removal = OrvaTask::GetRunnerNameOfCurrentThread();
  });
  auto later = MakeTask([&] { later_ran = true; });
  Gate gate;
  ASSERT_TRUE(manager.PostTask("self", gate.BlockingTask()));
  ASSERT_TRUE(manager.PostTask("self", remover));
  ASSERT_TRUE(manager.PostTask("self", later));
  gate.Release();
  EXPECT_TRUE(manager.WaitForTask(remover));
  EXPECT_FALSE(manager.WaitForTask(later));
  EXPECT_TRUE(removed);
  EXPECT_FALSE(later_ran);
  EXPECT_EQ(name_after_removal, "");
}

TEST(OrvaTaskRunner, WaitingOnOnesOwnRunnerAnswersInsteadOfHanging) {
  ovtest::TaskEnvironment env;
  auto& manager = env.manager();
  manager.CreateRunner("r", 0);
  auto queued_behind = MakeTask([] {});
  bool wait_answer = true;
  auto waiter = MakeTask([&] {
    manager.PostTask("r", queued_behind);
    wait_answer = manager.WaitForTask(queued_behind);
  });
  ASSERT_TRUE(manager.PostTask("r", waiter));
  EXPECT_TRUE(manager.WaitForTask(waiter));
  EXPECT_FALSE(wait_answer);
  EXPECT_TRUE(manager.WaitForTask(queued_behind)) << "it still runs afterwards";

  // The same on a host runner: the test thread would never pump while waiting.
  auto hosted = MakeTask([] {});
  ASSERT_TRUE(manager.PostTask(kMainRunnerName, hosted));
  EXPECT_FALSE(manager.WaitForTask(hosted));
  env.RunUntilIdle();
  EXPECT_TRUE(manager.WaitForTask(hosted));
}

TEST(OrvaTaskRunner, CancelDropsQueuedWorkByValueAndKeyButNotRunningWork) {
  ovtest::TaskEnvironment env;
  auto& manager = env.manager();
  manager.CreateRunner("a", 0);
  const auto key = OrvaTask::GenerateUniqueKey("group");

  Gate gate;
  std::atomic<int> ran{0};
  auto blocker = gate.BlockingTask();
  ASSERT_TRUE(manager.PostTask("a", blocker));
  gate.WaitEntered();

  auto by_value = MakeTask([&] { ran += 10; }, {.value = 61});
  auto by_key =
      MakeTask([&] { ran += 100; }, {.unique_keys = {OrvaTask::GenerateUniqueKey("x"), key}});
  auto delayed_by_key = MakeTask([&] { ran += 1000; }, {.delay_ms = 5, .unique_keys = {key}});
  auto on_main = MakeTask([&] { ran += 10000; }, {.unique_keys = {key}});
  auto survivor = MakeTask([&] { ran += 100000; }, {.value = 62});
  for (const auto& task : {by_value, by_key, delayed_by_key, survivor}) {
    ASSERT_TRUE(manager.PostTask("a", task));
  }
  ASSERT_TRUE(manager.PostTask(kMainRunnerName, on_main));

  EXPECT_EQ(manager.CancelTasksByValue(61), 1u);
  EXPECT_EQ(manager.CancelTasksByUniqueKey(key), 3u) << "on every runner, delayed work included";
  EXPECT_EQ(manager.CancelTasksByUniqueKey(key), 0u);
  gate.Release();
  EXPECT_TRUE(manager.WaitForTask(survivor));
  EXPECT_EQ(ran.load(), 100000);
  for (const auto& task : {by_value, by_key, delayed_by_key, on_main}) {
    EXPECT_EQ(task->state(), TaskState::kDropped);
  }
  EXPECT_EQ(env.RunUntilIdle(), 0u);
}

TEST(OrvaTaskRunner, AThrowingTaskIsLoggedAndTheRunnerCarriesOn) {
  ovtest::LogCapture log;
  ovtest::TaskEnvironment env;
  auto& manager = env.manager();
  manager.CreateRunner("r", 0);
  auto thrower = MakeTask([] { throw std::runtime_error("boom"); },
                          {.name = "Thrower", .location = OrvaTask::SourceLocation::Current()});
  auto next = MakeTask([] {});
  ASSERT_TRUE(manager.PostTask("r", thrower));
  ASSERT_TRUE(manager.PostTask("r", next));
  EXPECT_TRUE(manager.WaitForTask(next));
  EXPECT_TRUE(log.Contains("OrvaTask: task threw - name=Thrower, runner=r", klb::LogLevel::kError))
      << log.Dump();
  EXPECT_TRUE(log.Contains("ovt_manager_test.cc:")) << "the task's source location is logged";
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

}  // namespace
