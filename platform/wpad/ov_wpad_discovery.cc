#include "platform/wpad/ov_wpad_discovery.h"

#include <atomic>
#include <mutex>

#include "platform/wpad/ov_system_wpad_discovery.h"

namespace ovplatform {
namespace {

std::mutex& OverrideMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<WpadDiscovery>& Override() {
  static std::shared_ptr<WpadDiscovery> discovery;
  return discovery;
}

std::atomic<uint64_t> g_network_generation{0};

}  // namespace

std::shared_ptr<WpadDiscovery> GetWpadDiscovery() {
  {
    std::lock_guard<std::mutex> lock(OverrideMutex());
    if (Override()) return Override();
  }
  static const std::shared_ptr<WpadDiscovery> real = MakeSystemWpadDiscovery();
  return real;
}

void OverrideWpadDiscoveryForTesting(std::optional<std::shared_ptr<WpadDiscovery>> discovery) {
  std::lock_guard<std::mutex> lock(OverrideMutex());
  Override() = discovery ? *discovery : nullptr;
}

uint64_t WpadNetworkGeneration() {
  return g_network_generation.load(std::memory_order_acquire);
}

void NoteWpadNetworkChange() {
  g_network_generation.fetch_add(1, std::memory_order_acq_rel);
}

const char* WpadSourceName(WpadSource source) {
  switch (source) {
    case WpadSource::kDhcp:
      return "dhcp";
    case WpadSource::kDns:
      return "dns";
    case WpadSource::kNone:
      break;
  }
  return "none";
}

}  // namespace ovplatform
