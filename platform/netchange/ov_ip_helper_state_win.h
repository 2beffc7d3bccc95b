// What of the machine's network matters to proxy settings, as the IP helper
// tables of Windows show it: which interfaces are up and connected, which
// unicast addresses are usable, which routes exist. Two states compare equal
// when nothing of that differs, so that the system's repeats (address
// lifetimes renewed, interface statistics, route ages) are not mistaken for a
// new network.
//
// Thread: none; one owner at a time.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers, which they need.
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace ovplatform {

class IpHelperState {
 public:
  // The machine's current state; nullopt when a table cannot be read.
  static std::optional<IpHelperState> Read();

  void AddInterface(const MIB_IF_ROW2& row);
  void AddAddress(const MIB_UNICASTIPADDRESS_ROW& row);
  void AddRoute(const MIB_IPFORWARD_ROW2& row);

  size_t interfaceCount() const { return interfaces_.size(); }
  size_t addressCount() const { return addresses_.size(); }
  size_t routeCount() const { return routes_.size(); }

  bool operator==(const IpHelperState& other) const = default;

 private:
  // Interface LUID → up, connected.
  std::map<uint64_t, uint32_t> interfaces_;
  // Family, interface, address, prefix length, usable (not tentative).
  std::set<std::string> addresses_;
  // Family, interface, destination prefix, next hop, metric.
  std::set<std::string> routes_;
};

}  // namespace ovplatform
