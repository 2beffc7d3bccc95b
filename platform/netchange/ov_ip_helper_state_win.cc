#include "platform/netchange/ov_ip_helper_state_win.h"

#include <cstring>

namespace ovplatform {
namespace {

constexpr uint32_t kUp = 1;
constexpr uint32_t kConnected = 2;

template <typename T>
void Append(std::string& key, const T& value) {
  key.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// The bytes that name an address: family, address and (IPv6) scope.
void AppendAddress(std::string& key, const SOCKADDR_INET& address) {
  Append(key, address.si_family);
  if (address.si_family == AF_INET) {
    Append(key, address.Ipv4.sin_addr);
  } else if (address.si_family == AF_INET6) {
    Append(key, address.Ipv6.sin6_addr);
    Append(key, address.Ipv6.sin6_scope_id);
  }
}

// Frees a table of the IP helper when it goes.
template <typename Table>
class MibTable {
 public:
  ~MibTable() {
    if (table != nullptr) FreeMibTable(table);
  }
  Table* table = nullptr;
};

}  // namespace

void IpHelperState::AddInterface(const MIB_IF_ROW2& row) {
  uint32_t flags = 0;
  if (row.OperStatus == IfOperStatusUp) flags |= kUp;
  if (row.MediaConnectState == MediaConnectStateConnected) flags |= kConnected;
  interfaces_[row.InterfaceLuid.Value] = flags;
}

void IpHelperState::AddAddress(const MIB_UNICASTIPADDRESS_ROW& row) {
  std::string key;
  Append(key, row.InterfaceLuid.Value);
  AppendAddress(key, row.Address);
  Append(key, row.OnLinkPrefixLength);
  const bool usable = row.DadState == IpDadStatePreferred || row.DadState == IpDadStateDeprecated;
  key.push_back(usable ? 1 : 0);
  addresses_.insert(std::move(key));
}

void IpHelperState::AddRoute(const MIB_IPFORWARD_ROW2& row) {
  std::string key;
  Append(key, row.InterfaceLuid.Value);
  AppendAddress(key, row.DestinationPrefix.Prefix);
  Append(key, row.DestinationPrefix.PrefixLength);
  AppendAddress(key, row.NextHop);
  Append(key, row.Metric);
  routes_.insert(std::move(key));
}

std::optional<IpHelperState> IpHelperState::Read() {
  IpHelperState state;
  MibTable<MIB_IF_TABLE2> interfaces;
  if (GetIfTable2(&interfaces.table) != NO_ERROR) return std::nullopt;
  for (ULONG i = 0; i < interfaces.table->NumEntries; ++i) {
    state.AddInterface(interfaces.table->Table[i]);
  }
  MibTable<MIB_UNICASTIPADDRESS_TABLE> addresses;
  if (GetUnicastIpAddressTable(AF_UNSPEC, &addresses.table) != NO_ERROR) return std::nullopt;
  for (ULONG i = 0; i < addresses.table->NumEntries; ++i) {
    state.AddAddress(addresses.table->Table[i]);
  }
  MibTable<MIB_IPFORWARD_TABLE2> routes;
  if (GetIpForwardTable2(AF_UNSPEC, &routes.table) != NO_ERROR) return std::nullopt;
  for (ULONG i = 0; i < routes.table->NumEntries; ++i) state.AddRoute(routes.table->Table[i]);
  return state;
}

}  // namespace ovplatform
