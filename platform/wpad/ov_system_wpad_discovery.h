// The WPAD discovery of this platform: DHCP option 252 from the DHCP
// clients' lease files (ov_dhcp_lease_scanner.h), then the DNS name "wpad"
// through the system resolver. GetWpadDiscovery() answers one built with the
// defaults; tests and tools build their own with a different resolver or
// lease locations and install it with OverrideWpadDiscoveryForTesting.
//
// DNS: the plain name "wpad" only (the resolver's search domains apply); the
// domain labels are never walked up. The lookup is bounded (dnsLookupBound,
// see MakeBoundedWpadHostResolver): a DNS that does not answer in time means
// "not found", whatever resolver was given. A name that resolves only to the
// unspecified address (0.0.0.0 or ::) is how administrators block WPAD in
// /etc/hosts: it counts as not found.
//
// Thread: Detect blocks on files and DNS and may run on several threads at
// once. Lifetime: shared; holds its resolver.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "platform/wpad/ov_dhcp_lease_scanner.h"
#include "platform/wpad/ov_wpad_discovery.h"
#include "platform/wpad/ov_wpad_host_resolver.h"

namespace ovplatform {

inline constexpr const char kDnsWpadHost[] = "wpad";
inline constexpr const char kDnsWpadUrl[] = "http://wpad/wpad.dat";

struct SystemWpadDiscoveryOptions {
  // Null: the system resolver.
  std::shared_ptr<WpadHostResolver> resolver;
  // nullopt: WpadLeaseLocations() at every detection (so the variable can
  // change while the process runs).
  std::optional<std::vector<LeaseLocation>> leaseLocations;
  std::chrono::milliseconds dnsLookupBound = kWpadLookupBound;
};

std::shared_ptr<WpadDiscovery> MakeSystemWpadDiscovery(SystemWpadDiscoveryOptions options = {});

}  // namespace ovplatform
