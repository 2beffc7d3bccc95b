#include "platform/netchange/ov_netlink_state.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <initializer_list>
#include <string>
#include <utility>

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

}  // namespace
}  // namespace ovplatform
