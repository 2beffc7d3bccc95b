// Name lookup for DNS-based WPAD: the host resolver layer (platform/dns)
// under the names the discovery uses. Only the address families the machine
// can reach are asked for, and every lookup is bounded to about a second.
#pragma once

#include <chrono>
#include <memory>
#include <utility>

#include "platform/dns/ov_host_resolver.h"

namespace ovplatform {

using WpadHostResolver = HostResolver;

inline std::shared_ptr<WpadHostResolver> MakeSystemWpadHostResolver() {
  return MakeSystemHostResolver(HostFamilies::kReachable);
}

inline constexpr std::chrono::milliseconds kWpadLookupBound = kHostLookupBound;

inline std::shared_ptr<WpadHostResolver> MakeBoundedWpadHostResolver(
    std::shared_ptr<WpadHostResolver> inner, std::chrono::milliseconds bound = kWpadLookupBound) {
  return MakeBoundedHostResolver(std::move(inner), bound);
}

}  // namespace ovplatform
