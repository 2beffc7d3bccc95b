// Name lookup for DNS-based WPAD: the one place the discovery asks the
// system resolver, so tests can answer instead of the network.
//
// The system resolver can take many seconds on a network with slow or dead
// DNS; detection must not. MakeBoundedWpadHostResolver puts a time bound on
// any resolver: the lookup runs on a helper thread of this layer and the
// caller waits at most the bound (about a second, as browsers' quick check
// does), after which the name counts as not resolving. A late answer is
// dropped. While a slow lookup of a name still runs, later callers for that
// name wait for the same lookup (again at most the bound) instead of
// starting another, so a dead DNS server costs one helper thread, not one
// per detection; the helper ends when the system resolver gives up.
//
// Thread: ResolveHost may be called from any thread; the system resolver's
// blocks up to its own time-outs, the bounded one up to its bound. Time is
// read from Tav::TimeTicks and a moved test clock wakes a bounded wait, so
// tests drive the bound by hand.
// Lifetime: shared by the discoveries using it; a helper thread holds what it
// needs, so the bounded resolver may go while a lookup still runs.
#pragma once

#include <chrono>
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

inline constexpr std::chrono::milliseconds kWpadLookupBound{1000};

// `inner` with every lookup bounded to `bound`.
std::shared_ptr<WpadHostResolver> MakeBoundedWpadHostResolver(
    std::shared_ptr<WpadHostResolver> inner, std::chrono::milliseconds bound = kWpadLookupBound);

}  // namespace ovplatform
