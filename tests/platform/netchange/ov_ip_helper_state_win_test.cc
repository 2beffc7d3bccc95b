#include "platform/netchange/ov_ip_helper_state_win.h"

#include <gtest/gtest.h>

#include <functional>

namespace ovplatform {
namespace {

MIB_IF_ROW2 Interface(uint64_t luid) {
  MIB_IF_ROW2 row{};
  row.InterfaceLuid.Value = luid;
  row.OperStatus = IfOperStatusUp;
  row.MediaConnectState = MediaConnectStateConnected;
  return row;
}

MIB_UNICASTIPADDRESS_ROW Address(uint64_t luid, uint8_t last_byte) {
  MIB_UNICASTIPADDRESS_ROW row{};
  row.InterfaceLuid.Value = luid;
  row.Address.si_family = AF_INET;
  row.Address.Ipv4.sin_family = AF_INET;
  row.Address.Ipv4.sin_addr.s_addr = htonl(0xC0A80100u | last_byte);
  row.OnLinkPrefixLength = 24;
  row.DadState = IpDadStatePreferred;
  row.ValidLifetime = 3600;
  row.PreferredLifetime = 1800;
  return row;
}

MIB_IPFORWARD_ROW2 DefaultRoute(uint64_t luid) {
  MIB_IPFORWARD_ROW2 row{};
  row.InterfaceLuid.Value = luid;
  row.DestinationPrefix.Prefix.si_family = AF_INET;
  row.NextHop.si_family = AF_INET;
  row.NextHop.Ipv4.sin_addr.s_addr = htonl(0xC0A80101u);
  row.Metric = 25;
  row.Age = 100;
  return row;
}

struct Rows {
  MIB_IF_ROW2 interface_row = Interface(7);
  MIB_UNICASTIPADDRESS_ROW address_row = Address(7, 20);
  MIB_IPFORWARD_ROW2 route_row = DefaultRoute(7);

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
      {"another address", [](Rows& r) { r.address_row = Address(7, 21); }, true},
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

}  // namespace
}  // namespace ovplatform
