#include "platform/netchange/ov_network_change_source_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ovplatform {
namespace {

constexpr auto kPatience = std::chrono::seconds(10);

// A state told apart by the number of interfaces it has.
IpHelperState StateNumber(int number) {
  IpHelperState state;
  for (int i = 0; i < number; ++i) {
    MIB_IF_ROW2 row{};
    row.InterfaceLuid.Value = static_cast<uint64_t>(i + 1);
    state.AddInterface(row);
  }
  return state;
}

// Stands in for the system: the test decides what the tables say and when
// a notification arrives. Fields are read and written under `mutex`.
struct FakeSystem {
  IpHelperBackend Backend() {
    return IpHelperBackend{
        [this](std::function<void()> callback) {
          std::lock_guard lock(mutex);
          if (refuse) return false;
          notify = std::move(callback);
          return true;
        },
        [this] {
          std::lock_guard lock(mutex);
          notify = nullptr;
          ++unsubscribed;
        },
        [this]() -> std::optional<IpHelperState> {
          std::lock_guard lock(mutex);
          ++reads;
          changed.notify_all();
          if (unreadable) return std::nullopt;
          return StateNumber(state);
        },
    };
  }
  template <typename F>
  auto Locked(F f) {
    std::lock_guard lock(mutex);
    return f();
  }
  // As the system's threads would; false when nothing is registered.
  bool Notify() {
    return Locked([&] { return notify ? (notify(), true) : false; });
  }
  // The callback records which state the source had read when it told.
  IpHelperNetworkChangeSource::Callback Recorder() {
    return [this] {
      std::lock_guard lock(mutex);
      told.push_back(state);
      changed.notify_all();
    };
  }
  // Waits until `done` holds (the limit only turns a hang into a failure).
  template <typename F>
  bool WaitFor(F done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kPatience, done);
  }
  std::vector<int> WaitUntilTold(int number) {
    WaitFor([&] { return !told.empty() && told.back() == number; });
    return Locked([&] { return told; });
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::function<void()> notify;
  int state = 1;
  bool unreadable = false;
  bool refuse = false;
  int reads = 0;
  int unsubscribed = 0;
  std::vector<int> told;
};

TEST(IpHelperNetworkChangeSourceTest, OnlyChangesAreToldAndABurstOnce) {
  FakeSystem system;
  IpHelperNetworkChangeSource source(system.Backend());
  ASSERT_TRUE(source.Start(system.Recorder()));
  system.WaitFor([&] { return system.reads >= 1; });  // the state Start read

  // A notification that changes nothing (a renewed lifetime).
  ASSERT_TRUE(system.Notify());
  system.WaitFor([&] { return system.reads >= 2; });

  // A burst from several system threads, after one change.
  system.Locked([&] { system.state = 2; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) system.Notify();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(system.WaitUntilTold(2), std::vector<int>{2});

  // The next change is told too: the burst was told exactly once before it.
  system.Locked([&] { system.state = 3; });
  ASSERT_TRUE(system.Notify());
  EXPECT_EQ(system.WaitUntilTold(3), (std::vector<int>{2, 3}));
}

TEST(IpHelperNetworkChangeSourceTest, UnreadableTablesAreToldRatherThanMissed) {
  FakeSystem system;
  IpHelperNetworkChangeSource source(system.Backend());
  ASSERT_TRUE(source.Start(system.Recorder()));
  system.Locked([&] { system.unreadable = true; });
  ASSERT_TRUE(system.Notify());
  EXPECT_EQ(system.WaitUntilTold(1), std::vector<int>{1});
}

TEST(IpHelperNetworkChangeSourceTest, StartFailsCleanlyWhenTheSystemRefuses) {
  {
    FakeSystem system;
    system.refuse = true;
    IpHelperNetworkChangeSource source(system.Backend());
    EXPECT_FALSE(source.Start(system.Recorder()));
    source.Stop();
    EXPECT_EQ(system.Locked([&] { return system.unsubscribed; }), 0);
  }
  {
    // Registered, but the first read fails: the registration is ended.
    FakeSystem system;
    system.Locked([&] { system.unreadable = true; });
    IpHelperNetworkChangeSource source(system.Backend());
    EXPECT_FALSE(source.Start(system.Recorder()));
    EXPECT_FALSE(system.Locked([&] { return system.notify != nullptr; }));
    EXPECT_EQ(system.Locked([&] { return system.unsubscribed; }), 1);
  }
  {
    FakeSystem system;
    IpHelperNetworkChangeSource source(system.Backend());
    EXPECT_FALSE(source.Start(nullptr));
    EXPECT_TRUE(source.Start(system.Recorder()));
    EXPECT_FALSE(source.Start(system.Recorder()));  // started before
    // Stop ends the registration once.
    source.Stop();
    source.Stop();
    EXPECT_FALSE(system.Notify());
    EXPECT_EQ(system.Locked([&] { return system.unsubscribed; }), 1);
  }
}

TEST(IpHelperNetworkChangeSourceTest, TheCallbackMayStopAndDestroyItsSource) {
  FakeSystem system;
  auto source = std::make_unique<IpHelperNetworkChangeSource>(system.Backend());
  std::mutex mutex;
  std::condition_variable done;
  bool stopped = false;
  ASSERT_TRUE(source->Start([&] {
    source->Stop();
    source.reset();
    std::lock_guard lock(mutex);
    stopped = true;
    done.notify_all();
  }));
  system.Locked([&] { system.state = 2; });
  ASSERT_TRUE(system.Notify());
  std::unique_lock lock(mutex);
  EXPECT_TRUE(done.wait_for(lock, kPatience, [&] { return stopped; }));
  EXPECT_EQ(system.Locked([&] { return system.unsubscribed; }), 1);
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The system's own notifications. Wine 8 implements them as stubs that
// report success, hand out no handle and never notify: the source must
// refuse to start there, so that the consumer knows it goes without. On
// Windows they work.
TEST(IpHelperNetworkChangeSourceTest, TheSystemsNotificationsStartOnlyWhereTheyWork) {
  IpHelperNetworkChangeSource source;
  const bool started = source.Start([] {});
  EXPECT_EQ(started, !RunningUnderWine());
  source.Stop();
  EXPECT_FALSE(source.Start([] {}));  // once only, whatever the first answer
}

}  // namespace
}  // namespace ovplatform
