// The machine's own addresses, as a PAC script's myIpAddress sees them: the
// addresses of the interface that carries the default route first, found
// from the routing table and the interface list without sending a packet
// (Linux: /proc/net/route, /proc/net/ipv6_route and getifaddrs; Windows:
// GetBestInterfaceEx and GetAdaptersAddresses).
//
// Order: the default IPv4 route's interface's IPv4 addresses, the default
// IPv6 route's interface's global IPv6 addresses, then the other IPv4 and
// global IPv6 addresses; link-local IPv6 addresses are left out. Loopback
// addresses are answered only when the machine has no other.
//
// Thread: any; each call reads the system afresh (callers keep answers).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ovplatform {

class LocalAddressSource {
 public:
  virtual ~LocalAddressSource() = default;
  virtual std::vector<std::string> LocalAddresses() = 0;
};

std::shared_ptr<LocalAddressSource> MakeSystemLocalAddressSource();

// One address of one interface, as the interface list gives it.
struct InterfaceAddress {
  std::string iface;    // the interface: name (Linux) or index (Windows)
  std::string address;  // numeric text, without a zone
  bool ipv6 = false;
  bool loopback = false;
  bool link_local = false;
};

// The order above, from the interface list and the default routes'
// interfaces ("" when there is none).
std::vector<std::string> RankLocalAddresses(const std::vector<InterfaceAddress>& addresses,
                                            std::string_view default_interface4,
                                            std::string_view default_interface6);

// The interface of the default route of least metric in the text of
// /proc/net/route or /proc/net/ipv6_route; "" when there is none.
std::string DefaultRouteInterface4(std::string_view proc_net_route);
std::string DefaultRouteInterface6(std::string_view proc_net_ipv6_route);

}  // namespace ovplatform
