// The IP helper tables (what counts as a new network) and the change source
// built on them, against a fake system and the real one.
#include "platform/netchange/ov_ip_helper_state_win.h"
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

#include "ovtest/under_wine.h"

namespace ovplatform {
namespace {

// One interface with an address and a default route, as the system reports it.
struct Rows {
  MIB_IF_ROW2 interface_row{};
  MIB_UNICASTIPADDRESS_ROW address_row{};
  MIB_IPFORWARD_ROW2 route_row{};

  Rows() {
    interface_row.InterfaceLuid.Value = address_row.InterfaceLuid.Value =
        route_row.InterfaceLuid.Value = 7;
    interface_row.OperStatus = IfOperStatusUp;
    interface_row.MediaConnectState = MediaConnectStateConnected;
    address_row.Address.si_family = address_row.Address.Ipv4.sin_family = AF_INET;
    address_row.Address.Ipv4.sin_addr.s_addr = htonl(0xC0A80114u);
    address_row.OnLinkPrefixLength = 24;
    address_row.DadState = IpDadStatePreferred;
    address_row.ValidLifetime = 3600;
    address_row.PreferredLifetime = 1800;
    route_row.DestinationPrefix.Prefix.si_family = route_row.NextHop.si_family = AF_INET;
    route_row.NextHop.Ipv4.sin_addr.s_addr = htonl(0xC0A80101u);
    route_row.Metric = 25;
    route_row.Age = 100;
  }
  IpHelperState State() const {
    IpHelperState state;
    state.AddInterface(interface_row);
    state.AddAddress(address_row);
    state.AddRoute(route_row);
    return state;
  }
};

TEST(IpHelperStateTest, OnlyWhatMattersToProxySettingsMakesADifference) {
  struct Case {
    const char* name;
    std::function<void(Rows&)> change;
    bool differs;
  };
  const Case cases[] = {
      // The system's repeats.
      {"address lifetimes renewed",
       [](Rows& r) {
         r.address_row.ValidLifetime = 7200;
         r.address_row.PreferredLifetime = 3600;
       },
       false},
      {"interface traffic counted", [](Rows& r) { r.interface_row.InOctets = 123456; }, false},
      {"route aged", [](Rows& r) { r.route_row.Age = 5000; }, false},
      {"address deprecated (still usable)",
       [](Rows& r) { r.address_row.DadState = IpDadStateDeprecated; }, false},
      // A new network.
      {"link down", [](Rows& r) { r.interface_row.OperStatus = IfOperStatusDown; }, true},
      {"cable out",
       [](Rows& r) { r.interface_row.MediaConnectState = MediaConnectStateDisconnected; }, true},
      {"address still tentative", [](Rows& r) { r.address_row.DadState = IpDadStateTentative; },
       true},
      {"another address",
       [](Rows& r) { r.address_row.Address.Ipv4.sin_addr.s_addr = htonl(0xC0A80115u); }, true},
      {"another prefix length", [](Rows& r) { r.address_row.OnLinkPrefixLength = 16; }, true},
      {"another gateway",
       [](Rows& r) { r.route_row.NextHop.Ipv4.sin_addr.s_addr = htonl(0xC0A801FEu); }, true},
      {"route metric", [](Rows& r) { r.route_row.Metric = 50; }, true},
      {"route on another interface", [](Rows& r) { r.route_row.InterfaceLuid.Value = 8; }, true},
  };
  const IpHelperState before = Rows().State();
  for (const Case& c : cases) {
    Rows rows;
    c.change(rows);
    EXPECT_EQ(!(rows.State() == before), c.differs) << c.name;
  }
}

// The tables are read for real: Wine implements all three (unlike the
// change notifications), and every machine has at least a loopback
// interface with its address.
TEST(IpHelperStateTest, TheMachinesTablesAreReadAndStable) {
  const auto first = IpHelperState::Read();
  ASSERT_TRUE(first.has_value());
  EXPECT_GE(first->interfaceCount(), 1u);
  EXPECT_GE(first->addressCount(), 1u);
  const auto second = IpHelperState::Read();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(*first, *second);
}

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
  // The callback records the system's state when the source told.
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

TEST(IpHelperNetworkChangeSourceTest, ChangesAndUnreadableTablesAreToldAndABurstOnce) {
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

  // Tables that cannot be read are told rather than missed.
  system.Locked([&] {
    system.state = 4;
    system.unreadable = true;
  });
  ASSERT_TRUE(system.Notify());
  EXPECT_EQ(system.WaitUntilTold(4), (std::vector<int>{2, 3, 4}));
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

// The system's own notifications. Wine 8 implements them as stubs that
// report success, hand out no handle and never notify: the source must
// refuse to start there, so that the consumer knows it goes without. On
// Windows they work.
TEST(IpHelperNetworkChangeSourceTest, TheSystemsNotificationsStartOnlyWhereTheyWork) {
  IpHelperNetworkChangeSource source;
  const bool started = source.Start([] {});
  EXPECT_EQ(started, !ovtest::UnderWine());
  source.Stop();
  EXPECT_FALSE(source.Start([] {}));  // once only, whatever the first answer
}

}  // namespace
}  // namespace ovplatform
