// Delayed work against the manual clock: nothing here waits for real time.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "orvatask_test_util.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace {

using namespace std::chrono_literals;
using OrvaTask::kMainRunnerName;
using OrvaTask::TaskState;
using orvatask_test::MakeTask;

TEST(OrvaTaskDelay, ThreadRunnerRunsDelayedWorkWhenTheClockReachesIt) {
  ovtest::ManualClock clock;
  ovtest::TaskEnvironment env("");
  auto& manager = env.manager();
  manager.CreateRunner("timer", 0);

  std::vector<std::string> order;
  auto second = MakeTask([&] { order.push_back("1000 ms, posted first"); }, {.delay_ms = 1000});
  auto third = MakeTask([&] { order.push_back("1000 ms, posted second"); }, {.delay_ms = 1000});
  auto first = MakeTask([&] { order.push_back("400 ms (explicit)"); }, {.delay_ms = 60000});
  ASSERT_TRUE(manager.PostTask("timer", second));
  ASSERT_TRUE(manager.PostTask("timer", third));
  ASSERT_TRUE(manager.PostDelayedTask("timer", first, 400ms));

  // Work posted without delay runs at once; the delayed work waits for the clock.
  clock.Advance(399ms);
  ASSERT_TRUE(env.Flush("timer"));
  EXPECT_TRUE(order.empty());
  clock.Advance(1ms);
  EXPECT_TRUE(manager.WaitForTask(first));
  clock.Advance(599ms);
  ASSERT_TRUE(env.Flush("timer"));
  EXPECT_EQ(second->state(), TaskState::kQueued);
  clock.Advance(1ms);
  EXPECT_TRUE(manager.WaitForTask(third));
  EXPECT_EQ(order, (std::vector<std::string>{"400 ms (explicit)", "1000 ms, posted first",
                                             "1000 ms, posted second"}));
}

TEST(OrvaTaskDelay, DelayedWorkJoinsTheQueueBehindReadyWork) {
  ovtest::ManualClock clock;
  ovtest::TaskEnvironment env;
  auto& manager = env.manager();
  std::vector<int> order;
  manager.PostTask(kMainRunnerName, MakeTask([&] { order.push_back(1); }, {.delay_ms = 10}));
  clock.Advance(10ms);
  manager.PostTask(kMainRunnerName, MakeTask([&] { order.push_back(2); }));
  env.RunUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
}

}  // namespace
