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
// a notification arrives.
class FakeSystem {
 public:
  IpHelperBackend Backend() {
    return IpHelperBackend{
        [this](std::function<void()> notify) {
          std::lock_guard lock(mutex_);
          if (refuse_) return false;
          notify_ = std::move(notify);
          return true;
        },
        [this] {
          std::lock_guard lock(mutex_);
          notify_ = nullptr;
          ++unsubscribed_;
        },
        [this]() -> std::optional<IpHelperState> {
          std::lock_guard lock(mutex_);
          ++reads_;
          changed_.notify_all();
          if (unreadable_) return std::nullopt;
          return StateNumber(state_);
        },
    };
  }

  void SetState(int number) {
    std::lock_guard lock(mutex_);
    state_ = number;
  }
  void SetUnreadable(bool unreadable) {
    std::lock_guard lock(mutex_);
    unreadable_ = unreadable;
  }
  void Refuse() {
    std::lock_guard lock(mutex_);
    refuse_ = true;
  }
  // As the system's threads would; false when nothing is registered.
  bool Notify() {
    std::lock_guard lock(mutex_);
    if (!notify_) return false;
    notify_();
    return true;
  }
  bool subscribed() {
    std::lock_guard lock(mutex_);
    return notify_ != nullptr;
  }
  int unsubscribed() {
    std::lock_guard lock(mutex_);
    return unsubscribed_;
  }

  // The callback records which state the source had read when it told.
  IpHelperNetworkChangeSource::Callback Recorder() {
    return [this] {
      std::lock_guard lock(mutex_);
      told_.push_back(state_);
      changed_.notify_all();
    };
  }
  // Waits until the source told about state `number`; the states told.
  std::vector<int> WaitUntilTold(int number) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return !told_.empty() && told_.back() == number; });
    return told_;
  }
  void WaitForReads(int count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return reads_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> notify_;
  int state_ = 1;
  bool unreadable_ = false;
  bool refuse_ = false;
  int reads_ = 0;
  int unsubscribed_ = 0;
  std::vector<int> told_;
};

TEST(IpHelperNetworkChangeSourceTest, OnlyChangesAreToldAndABurstOnce) {
  FakeSystem system;
  IpHelperNetworkChangeSource source(system.Backend());
  ASSERT_TRUE(source.Start(system.Recorder()));
  system.WaitForReads(1);  // the state Start read

  // A notification that changes nothing (a renewed lifetime).
  ASSERT_TRUE(system.Notify());
  system.WaitForReads(2);

  // A burst from several system threads, after one change.
  system.SetState(2);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) system.Notify();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(system.WaitUntilTold(2), std::vector<int>{2});

  // The next change is told too: the burst was told exactly once before it.
  system.SetState(3);
  ASSERT_TRUE(system.Notify());
  EXPECT_EQ(system.WaitUntilTold(3), (std::vector<int>{2, 3}));
}

TEST(IpHelperNetworkChangeSourceTest, UnreadableTablesAreToldRatherThanMissed) {
  FakeSystem system;
  IpHelperNetworkChangeSource source(system.Backend());
  ASSERT_TRUE(source.Start(system.Recorder()));
  system.SetUnreadable(true);
  ASSERT_TRUE(system.Notify());
  EXPECT_EQ(system.WaitUntilTold(1), std::vector<int>{1});
}

TEST(IpHelperNetworkChangeSourceTest, StartFailsCleanlyWhenTheSystemRefuses) {
  {
    FakeSystem system;
    system.Refuse();
    IpHelperNetworkChangeSource source(system.Backend());
    EXPECT_FALSE(source.Start(system.Recorder()));
    source.Stop();
    EXPECT_EQ(system.unsubscribed(), 0);
  }
  {
    // Registered, but the first read fails: the registration is ended.
    FakeSystem system;
    system.SetUnreadable(true);
    IpHelperNetworkChangeSource source(system.Backend());
    EXPECT_FALSE(source.Start(system.Recorder()));
    EXPECT_FALSE(system.subscribed());
    EXPECT_EQ(system.unsubscribed(), 1);
  }
  {
    FakeSystem system;
    IpHelperNetworkChangeSource source(system.Backend());
    EXPECT_FALSE(source.Start(nullptr));
    EXPECT_TRUE(source.Start(system.Recorder()));
    EXPECT_FALSE(source.Start(system.Recorder()));  // started before
  }
}

TEST(IpHelperNetworkChangeSourceTest, StopEndsTheRegistrationOnceAndIsIdempotent) {
  FakeSystem system;
  IpHelperNetworkChangeSource source(system.Backend());
  ASSERT_TRUE(source.Start(system.Recorder()));
  source.Stop();
  source.Stop();
  EXPECT_FALSE(system.Notify());
  EXPECT_EQ(system.unsubscribed(), 1);
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
  system.SetState(2);
  ASSERT_TRUE(system.Notify());
  std::unique_lock lock(mutex);
  EXPECT_TRUE(done.wait_for(lock, kPatience, [&] { return stopped; }));
  EXPECT_EQ(system.unsubscribed(), 1);
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

TEST(IpHelperNetworkChangeSourceTest, TheFactoryMakesTheIpHelperSource) {
  auto source = CreateNetworkChangeSource();
  EXPECT_NE(dynamic_cast<IpHelperNetworkChangeSource*>(source.get()), nullptr);
}

}  // namespace
}  // namespace ovplatform
