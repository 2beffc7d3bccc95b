#include "platform/netchange/ov_netlink_state.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <string>
#include <vector>

namespace ovplatform {
namespace {

// Builds rtnetlink messages the way the kernel lays them out.
class Message {
 public:
  Message(uint16_t type, const void* body, size_t size) {
    bytes_.resize(NLMSG_HDRLEN);
    Append(body, size);
    type_ = type;
  }
  Message& Attr(uint16_t type, const void* data, size_t size) {
    rtattr header{};
    header.rta_len = static_cast<uint16_t>(RTA_LENGTH(size));
    header.rta_type = type;
    Append(&header, sizeof header);
    Append(data, size);
    return *this;
  }
  Message& Attr32(uint16_t type, uint32_t value) { return Attr(type, &value, sizeof value); }
  std::string bytes() const {
    std::string out = bytes_;
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(out.size());
    header.nlmsg_type = type_;
    std::memcpy(out.data(), &header, sizeof header);
    return out;
  }

 private:
  void Append(const void* data, size_t size) {
    bytes_.append(static_cast<const char*>(data), size);
    bytes_.resize(NLMSG_ALIGN(bytes_.size()));
  }
  std::string bytes_;
  uint16_t type_ = 0;
};

std::string Link(uint16_t type, int index, uint32_t flags) {
  ifinfomsg info{};
  info.ifi_index = index;
  info.ifi_flags = flags;
  return Message(type, &info, sizeof info).bytes();
}

std::string Address(uint16_t type, int index, const char* ipv4, uint32_t flags = 0) {
  ifaddrmsg info{};
  info.ifa_family = AF_INET;
  info.ifa_prefixlen = 24;
  info.ifa_index = static_cast<uint32_t>(index);
  in_addr address{};
  inet_pton(AF_INET, ipv4, &address);
  // Lifetimes change on every renewal and must not count.
  ifa_cacheinfo lifetimes{};
  lifetimes.ifa_valid = flags;
  return Message(type, &info, sizeof info)
      .Attr(IFA_LOCAL, &address, sizeof address)
      .Attr(IFA_CACHEINFO, &lifetimes, sizeof lifetimes)
      .Attr32(IFA_FLAGS, flags)
      .bytes();
}

std::string Route(uint16_t type, const char* gateway, uint32_t table = RT_TABLE_MAIN,
                  uint8_t routeType = RTN_UNICAST, uint32_t flags = 0) {
  rtmsg info{};
  info.rtm_family = AF_INET;
  info.rtm_table = RT_TABLE_UNSPEC;
  info.rtm_type = routeType;
  info.rtm_flags = flags;
  in_addr address{};
  inet_pton(AF_INET, gateway, &address);
  return Message(type, &info, sizeof info)
      .Attr32(RTA_TABLE, table)
      .Attr(RTA_GATEWAY, &address, sizeof address)
      .Attr32(RTA_OIF, 2)
      .Attr32(RTA_EXPIRES, flags)
      .bytes();
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

}  // namespace
}  // namespace ovplatform
