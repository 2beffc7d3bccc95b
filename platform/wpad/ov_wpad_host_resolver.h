// Name lookup for DNS-based WPAD: the one place the discovery asks the
// system resolver, so tests can answer instead of the network.
//
// Thread: ResolveHost blocks (up to the system resolver's own time-outs) and
// may be called from any thread. Lifetime: shared by the discoveries using it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ovplatform {

class WpadHostResolver {
 public:
  virtual ~WpadHostResolver() = default;
  // Numeric addresses `host` resolves to through the system resolver, its
  // search domains applied to a name without dots; empty when it does not
  // resolve.
  virtual std::vector<std::string> ResolveHost(const std::string& host) = 0;
};

// getaddrinfo through the system's name service configuration.
std::shared_ptr<WpadHostResolver> MakeSystemWpadHostResolver();

}  // namespace ovplatform
