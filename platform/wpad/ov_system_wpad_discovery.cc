#include "platform/wpad/ov_system_wpad_discovery.h"

#include <algorithm>
#include <utility>

#include "tavlib/tav_clock.h"

namespace ovplatform {
namespace {

bool IsUnspecifiedAddress(const std::string& address) {
  return address == "0.0.0.0" || address == "::";
}

class SystemWpadDiscovery final : public WpadDiscovery {
 public:
  explicit SystemWpadDiscovery(SystemWpadDiscoveryOptions options)
      : resolver_(MakeBoundedWpadHostResolver(
            options.resolver ? std::move(options.resolver) : MakeSystemWpadHostResolver(),
            options.dnsLookupBound)),
        leaseLocations_(std::move(options.leaseLocations)) {}

  WpadResult Detect(uint32_t flags) override {
    if ((flags & kWpadDetectDhcp) != 0) {
      const int64_t nowSeconds = Tav::SystemTimeNow100ns() / 10'000'000;
      const auto hit = FindWpadUrlInLeases(
          leaseLocations_ ? *leaseLocations_ : WpadLeaseLocations(), nowSeconds);
      if (hit) return {hit->url, WpadSource::kDhcp};
    }
    if ((flags & kWpadDetectDns) != 0) {
      const std::vector<std::string> addresses = resolver_->ResolveHost(kDnsWpadHost);
      if (std::any_of(addresses.begin(), addresses.end(),
                      [](const std::string& a) { return !IsUnspecifiedAddress(a); })) {
        return {kDnsWpadUrl, WpadSource::kDns};
      }
    }
    return {};
  }

 private:
  const std::shared_ptr<WpadHostResolver> resolver_;
  const std::optional<std::vector<LeaseLocation>> leaseLocations_;
};

}  // namespace

std::shared_ptr<WpadDiscovery> MakeSystemWpadDiscovery(SystemWpadDiscoveryOptions options) {
  return std::make_shared<SystemWpadDiscovery>(std::move(options));
}

}  // namespace ovplatform
