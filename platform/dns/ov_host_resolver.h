// Name lookup through the system resolver: the one place the module asks
// it (WPAD discovery, the DNS helpers of the system-shaped PAC evaluation),
// so tests can answer instead of the network.
//
// The system resolver can take many seconds on a network with slow or dead
// DNS; callers must not. BoundedHostResolver puts a time bound on any
// resolver: the lookup runs on a helper thread of this layer and the caller
// waits at most the bound (about a second, as browsers' quick check does)
// or until a deadline of its own, whichever comes first, after which the
// name counts as not resolving. A late answer is dropped. While a slow
// lookup of a name still runs, later callers for that name wait for the
// same lookup (again at most the bound) instead of starting another, so a
// dead DNS server costs one helper thread per name, not one per caller; the
// helper ends when the system resolver gives up.
//
// Thread: ResolveHost may be called from any thread; the system resolver's
// blocks up to its own time-outs, the bounded one up to its bound. Time is
// read from Tav::TimeTicks and a moved test clock wakes a bounded wait, so
// tests drive the bound by hand.
// Lifetime: shared by its users; a helper thread holds what it needs, so the
// bounded resolver may go while a lookup still runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ovplatform {

class HostResolver {
 public:
  virtual ~HostResolver() = default;
  // Numeric addresses `host` resolves to through the system resolver, its
  // search domains applied to a name without dots; empty when it does not
  // resolve.
  virtual std::vector<std::string> ResolveHost(const std::string& host) = 0;
};

enum class HostFamilies {
  // Only the families the machine has a (non-loopback) address of, so that
  // nobody waits for answers it could not use (WPAD).
  kReachable,
  // IPv6 and IPv4 alike, as scripts asking for all addresses expect.
  kAll,
};

// getaddrinfo through the system's name service configuration.
std::shared_ptr<HostResolver> MakeSystemHostResolver(HostFamilies families);

inline constexpr std::chrono::milliseconds kHostLookupBound{1000};

class BoundedHostResolver : public HostResolver {
 public:
  // The addresses, or nullopt when the lookup did not end within the bound
  // or before `deadline_us` (Tav::TimeTicks; 0: the bound only).
  virtual std::optional<std::vector<std::string>> ResolveHostBefore(const std::string& host,
                                                                    int64_t deadline_us) = 0;
  std::vector<std::string> ResolveHost(const std::string& host) override {
    return ResolveHostBefore(host, 0).value_or(std::vector<std::string>{});
  }
};

// `inner` with every lookup bounded to `bound`.
std::shared_ptr<BoundedHostResolver> MakeBoundedHostResolver(
    std::shared_ptr<HostResolver> inner, std::chrono::milliseconds bound = kHostLookupBound);

}  // namespace ovplatform
