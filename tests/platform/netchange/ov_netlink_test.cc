// rtnetlink: what the state counts as a change, and the source on a real socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/netchange/ov_netlink_network_change_source.h"
#include "platform/netchange/ov_netlink_state.h"

namespace ovplatform {
namespace {

template <typename T>
std::string Bytes(const T& value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// An rtnetlink message laid out as the kernel does: header, body, attributes.
std::string Message(uint16_t type, const std::string& body,
                    std::initializer_list<std::pair<uint16_t, std::string>> attributes) {
  std::string out(NLMSG_HDRLEN, '\0');
  const auto append = [&](const std::string& bytes) {
    out += bytes;
    out.resize(NLMSG_ALIGN(out.size()));
  };
  append(body);
  for (const auto& [attributeType, data] : attributes) {
    append(Bytes(rtattr{static_cast<uint16_t>(RTA_LENGTH(data.size())), attributeType}) + data);
  }
  nlmsghdr header{};
  header.nlmsg_len = static_cast<uint32_t>(out.size());
  header.nlmsg_type = type;
  return out.replace(0, sizeof header, Bytes(header));
}

std::string Link(uint16_t type, int index, uint32_t flags) {
  ifinfomsg info{};
  info.ifi_index = index;
  info.ifi_flags = flags;
  return Message(type, Bytes(info), {});
}

in_addr Ipv4(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

std::string Address(uint16_t type, int index, const char* ipv4, uint32_t flags = 0) {
  ifaddrmsg info{};
  info.ifa_family = AF_INET;
  info.ifa_prefixlen = 24;
  info.ifa_index = static_cast<uint32_t>(index);
  // Lifetimes change on every renewal and must not count.
  ifa_cacheinfo lifetimes{};
  lifetimes.ifa_valid = flags;
  return Message(type, Bytes(info),
                 {{IFA_LOCAL, Bytes(Ipv4(ipv4))},
                  {IFA_CACHEINFO, Bytes(lifetimes)},
                  {IFA_FLAGS, Bytes(flags)}});
}

std::string Route(uint16_t type, const char* gateway, uint32_t table = RT_TABLE_MAIN,
                  uint8_t routeType = RTN_UNICAST, uint32_t flags = 0) {
  rtmsg info{};
  info.rtm_family = AF_INET;
  info.rtm_table = RT_TABLE_UNSPEC;
  info.rtm_type = routeType;
  info.rtm_flags = flags;
  return Message(type, Bytes(info),
                 {{RTA_TABLE, Bytes(table)},
                  {RTA_GATEWAY, Bytes(Ipv4(gateway))},
                  {RTA_OIF, Bytes(uint32_t{2})},
                  {RTA_EXPIRES, Bytes(flags)}});
}

TEST(NetlinkState, ToldOnlyWhatChangesTheNetwork) {
  constexpr uint32_t kUp = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;
  const struct {
    const char* name;
    std::string batch;  // applied after the base state below
    bool changed;
  } cases[] = {
      {"a known link told again", Link(RTM_NEWLINK, 2, kUp), false},
      {"a flag that does not matter", Link(RTM_NEWLINK, 2, kUp | IFF_PROMISC), false},
      {"carrier lost", Link(RTM_NEWLINK, 2, IFF_UP), true},
      {"address lifetimes renewed", Address(RTM_NEWADDR, 2, "10.0.0.5", IFA_F_PERMANENT), false},
      {"a new address", Address(RTM_NEWADDR, 2, "10.1.0.5"), true},
      {"duplicate address detected", Address(RTM_NEWADDR, 2, "10.0.0.5", IFA_F_DADFAILED), true},
      {"a route refreshed", Route(RTM_NEWROUTE, "10.0.0.1", RT_TABLE_MAIN, RTN_UNICAST, 7), false},
      {"a new default gateway", Route(RTM_NEWROUTE, "10.0.0.254"), true},
      {"a VPN's own table", Route(RTM_NEWROUTE, "10.9.0.1", 51820), true},
      {"the local table", Route(RTM_NEWROUTE, "10.0.0.1", RT_TABLE_LOCAL), false},
      {"a cached clone", Route(RTM_NEWROUTE, "10.0.0.9", RT_TABLE_MAIN, RTN_UNICAST, RTM_F_CLONED),
       false},
      {"a message cut short", Link(RTM_NEWLINK, 5, 0).substr(0, 20), false},
      {"a length pointing past the end",
       std::string("\xff\xff\x00\x00\x10\x00", 6) + std::string(10, '\0'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NetlinkState state;
    const std::string base = Link(RTM_NEWLINK, 2, kUp) + Address(RTM_NEWADDR, 2, "10.0.0.5") +
                             Route(RTM_NEWROUTE, "10.0.0.1");
    ASSERT_TRUE(state.Apply(base.data(), base.size()));
    EXPECT_EQ(state.Apply(c.batch.data(), c.batch.size()), c.changed);
  }
}

TEST(NetlinkState, TentativeAddressBecomingUsableIsAChange) {
  NetlinkState state;
  const std::string tentative = Address(RTM_NEWADDR, 2, "10.0.0.5", IFA_F_TENTATIVE);
  const std::string usable = Address(RTM_NEWADDR, 2, "10.0.0.5");
  EXPECT_TRUE(state.Apply(tentative.data(), tentative.size()));
  EXPECT_TRUE(state.Apply(usable.data(), usable.size()));
  EXPECT_FALSE(state.Apply(usable.data(), usable.size()));
}

// Waits for the event itself; the limit only turns a hang into a failure.
struct Notifications {
  void Tell() {
    std::lock_guard lock(mutex);
    ++count;
    changed.notify_all();
  }
  NetworkChangeSource::Callback Callback() {
    return [this] { Tell(); };
  }
  bool Wait() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] { return count > 0; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
};

TEST(NetlinkNetworkChangeSource, StartsAndStopsCleanly) {
  Notifications notifications;
  NetlinkNetworkChangeSource source;
  if (!source.Start(notifications.Callback())) GTEST_SKIP() << "no rtnetlink here";
  source.Stop();
  source.Stop();

  // Destroyed while running, without Stop.
  auto running = std::make_unique<NetlinkNetworkChangeSource>();
  EXPECT_TRUE(running->Start(notifications.Callback()));
  running.reset();
}

// Sets an interface up or down through the classic ioctl, in the calling
// thread's network namespace.
bool SetInterfaceUp(const char* name, bool up = true) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags =
      static_cast<short>(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return ok;
}

// A real change: in a network namespace of its own (a thread's own, so the
// machine's network is untouched), bringing the loopback interface up adds a
// link state, addresses and routes. Needs CAP_SYS_ADMIN and CAP_NET_ADMIN.
TEST(NetlinkNetworkChangeSource, TellsARealChangeAndStopsFromItsCallback) {
  std::string skipped;
  std::thread inNamespace([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      skipped = "cannot make a network namespace (not root?)";
      return;
    }
    Notifications notifications;
    auto source = std::make_unique<NetlinkNetworkChangeSource>();
    if (!source->Start(notifications.Callback())) {
      skipped = "no rtnetlink here";
      return;
    }
    ASSERT_TRUE(SetInterfaceUp("lo"));
    EXPECT_TRUE(notifications.Wait());
    source->Stop();

    // A source whose callback destroys it: the thread ends on its own.
    Notifications stopped;
    auto selfStopping = std::make_unique<NetlinkNetworkChangeSource>();
    ASSERT_TRUE(selfStopping->Start([&] {
      selfStopping.reset();
      stopped.Tell();
    }));
    ASSERT_TRUE(SetInterfaceUp("lo", false));
    EXPECT_TRUE(stopped.Wait());
  });
  inNamespace.join();
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

}  // namespace
}  // namespace ovplatform
