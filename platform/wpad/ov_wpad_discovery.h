// WPAD discovery: finds the PAC URL the network announces. One implementation
// serves both the system-shaped resolver and the PAC file decider.
//
// Order: DHCP first (option 252, read from the DHCP clients' lease files),
// then DNS (the host "wpad" through the system resolver with its search
// domains, URL "http://wpad/wpad.dat"). Domain labels are never walked up:
// that is how WPAD names get hijacked.
//
// Thread: Detect blocks (lease files, a DNS lookup); call it from a worker
// runner, never from the resolve runner. Implementations are thread-safe.
// Lifetime: the process-wide discovery lives until exit; tests install their
// own with OverrideWpadDiscoveryForTesting.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ovplatform {

// Detection types, as bit flags (the values of the Windows auto-detect types).
enum WpadDetectFlags : uint32_t {
  kWpadDetectDhcp = 0x1,
  kWpadDetectDns = 0x2,
  kWpadDetectAll = kWpadDetectDhcp | kWpadDetectDns,
};

enum class WpadSource { kNone, kDhcp, kDns };

struct WpadResult {
  std::string url;  // empty when nothing was found
  WpadSource source = WpadSource::kNone;
  bool found() const { return !url.empty(); }
};

class WpadDiscovery {
 public:
  virtual ~WpadDiscovery() = default;
  virtual WpadResult Detect(uint32_t flags) = 0;
};

// The process-wide discovery (the real one unless a test replaced it).
std::shared_ptr<WpadDiscovery> GetWpadDiscovery();
// nullopt restores the real discovery.
void OverrideWpadDiscoveryForTesting(std::optional<std::shared_ptr<WpadDiscovery>> discovery);

// The network the process is on, as a number that changes whenever the module
// hears that the network changed. Whoever keeps a detection result (or
// anything else that belongs to one network) notes the number with it and
// drops what it kept once the number moved on.
uint64_t WpadNetworkGeneration();
// Called on the module's network-change path; any thread.
void NoteWpadNetworkChange();

const char* WpadSourceName(WpadSource source);  // "none", "dhcp", "dns"

}  // namespace ovplatform
