// Many threads posting, cancelling, removing and re-creating runners and
// moving the clock at once. Meant for the thread sanitizer as much as for
// the assertions: every task ends exactly once (ran or dropped, or refused),
// and one poster's work on one runner runs in posting order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orvatask_test_util.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace {

using namespace std::chrono_literals;
using orvatask_test::MakeTask;

constexpr int kPosters = 4;
constexpr int kTasksPerPoster = 400;
const char* const kRunners[] = {"c0", "c1", "c2"};

TEST(OrvaTaskConcurrency, PostCancelRemoveAndClockMovesTogether) {
  ovtest::ManualClock clock;
  ovtest::TaskEnvironment env("");
  auto& manager = env.manager();
  for (const char* name : kRunners) manager.CreateRunner(name, 0);

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
        const std::string runner = kRunners[i % 3];
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
        manager.PostTask(runner, task);
        all[poster].push_back(task);
        if (i % 50 == 49) manager.CancelTasksByUniqueKey(poster_key);
      }
    });
  }
  threads.emplace_back([&] {
    for (int round = 0; round < 40; ++round) {
      manager.RemoveRunner(kRunners[round % 3]);
      manager.CreateRunner(kRunners[round % 3], 0);
      manager.CancelTasksByValue(static_cast<uint32_t>(round % 7));
    }
  });
  threads.emplace_back([&] {
    for (int step = 0; step < 200; ++step) clock.Advance(1ms);
  });
  for (auto& thread : threads) thread.join();

  // Whatever is still delayed becomes due; then every task must end.
  clock.Advance(1s);
  int finished_by_run = 0;
  int dropped = 0;
  int refused = 0;
  for (auto& tasks : all) {
    for (auto& task : tasks) {
      if (task->state() == OrvaTask::TaskState::kCreated) {
        ++refused;
      } else if (manager.WaitForTask(task)) {
        ++finished_by_run;
      } else {
        ++dropped;
      }
    }
  }
  EXPECT_EQ(finished_by_run, runs.load()) << "each accepted task ran at most once";
  EXPECT_EQ(finished_by_run + dropped + refused, kPosters * kTasksPerPoster);
  // After the storm every runner still takes and runs work.
  for (const char* name : kRunners) {
    auto after = MakeTask([] {});
    ASSERT_TRUE(manager.PostTask(name, after));
    EXPECT_TRUE(manager.WaitForTask(after));
  }
  // Dropping only removes, so one poster's undelayed work never goes back.
  EXPECT_FALSE(order_broken.load());
}

}  // namespace
