// What of the machine's network matters to proxy settings, as learnt from
// rtnetlink messages: which links are up and carry a signal, which addresses
// are usable, which unicast routes exist. Applying a message tells whether
// any of that changed, so that the kernel's repeats (address lifetimes
// renewed on every router advertisement, wireless link events, route
// refreshes) are not mistaken for a new network.
//
// Thread: none; one owner at a time. Input is parsed defensively: any byte
// sequence is accepted (bad or truncated messages are skipped).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace ovplatform {

class NetlinkState {
 public:
  // Applies every message of one buffer (notifications or dump answers).
  // True when the state changed.
  bool Apply(const void* data, size_t size);

  size_t linkCount() const { return links_.size(); }
  size_t addressCount() const { return addresses_.size(); }
  size_t routeCount() const { return routes_.size(); }

  bool operator==(const NetlinkState& other) const = default;

 private:
  bool ApplyLink(uint16_t type, const uint8_t* payload, size_t size);
  bool ApplyAddress(uint16_t type, const uint8_t* payload, size_t size);
  bool ApplyRoute(uint16_t type, const uint8_t* payload, size_t size);

  // Interface index → the flags that matter (up, running, carrier).
  std::map<int32_t, uint32_t> links_;
  // Family, interface, prefix length and address → usable (not tentative).
  std::map<std::string, bool> addresses_;
  // Family, table, destination, gateway, interface, metric and next hops.
  std::set<std::string> routes_;
};

}  // namespace ovplatform
