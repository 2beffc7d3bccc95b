// The network utilities' system information provider. Its first operation
// classifies a host text: 1 for an IPv4 literal, 2 for an IPv6 literal (with
// or without brackets), 0 for anything else.
//
// GetONetSystemInfoProvider answers the process-wide provider, or null when
// the library is not available. Tests replace it with
// OverrideONetSystemInfoProviderForTesting.
//
// Thread-safety: stateless; callable from any thread.
#pragma once

#include <optional>
#include <string>

namespace ONet {

enum AddressKind : int { kAddressNone = 0, kAddressIPv4 = 1, kAddressIPv6 = 2 };

class IONetSystemInfoProvider {
 public:
  virtual ~IONetSystemInfoProvider() = default;
  virtual int GetAddressKind(const std::string& host) = 0;
};

IONetSystemInfoProvider* GetONetSystemInfoProvider();

// nullopt restores the real provider.
void OverrideONetSystemInfoProviderForTesting(std::optional<IONetSystemInfoProvider*> provider);

}  // namespace ONet
