#include "onetutils/onet_system_info_provider.h"

#include <atomic>

#include "onetutils/onet_text.h"

namespace ONet {
namespace {

class SystemInfoProvider final : public IONetSystemInfoProvider {
 public:
  int GetAddressKind(const std::string& host) override {
    if (ParseIPv4Literal(host)) return kAddressIPv4;
    if (ParseIPv6Literal(host)) return kAddressIPv6;
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
