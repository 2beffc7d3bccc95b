#include "onetutils/onet_system_info_provider.h"

#include <arpa/inet.h>

#include <atomic>

namespace ONet {
namespace {

class SystemInfoProvider final : public IONetSystemInfoProvider {
 public:
  int GetAddressKind(const std::string& host) override {
    unsigned char buffer[16];
    // Only the canonical dotted quad counts as IPv4: "1.2.3" or "01.2.3.4"
    // name hosts, not addresses.
    if (inet_pton(AF_INET, host.c_str(), buffer) == 1) return kAddressIPv4;
    std::string literal = host;
    if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']') {
      literal = literal.substr(1, literal.size() - 2);
    }
    // A zone index ("fe80::1%eth0") belongs to the literal but not to the
    // address the parser reads.
    if (std::size_t zone = literal.find('%'); zone != std::string::npos && zone > 0) {
      literal.erase(zone);
    }
    if (inet_pton(AF_INET6, literal.c_str(), buffer) == 1) return kAddressIPv6;
    return kAddressNone;
  }
};

std::atomic<bool> g_overridden{false};
std::atomic<IONetSystemInfoProvider*> g_override{nullptr};

}  // namespace

IONetSystemInfoProvider* GetONetSystemInfoProvider() {
  if (g_overridden.load(std::memory_order_acquire)) return g_override.load();
  static SystemInfoProvider provider;
  return &provider;
}

void OverrideONetSystemInfoProviderForTesting(std::optional<IONetSystemInfoProvider*> provider) {
  g_override.store(provider.value_or(nullptr));
  g_overridden.store(provider.has_value(), std::memory_order_release);
}

}  // namespace ONet
