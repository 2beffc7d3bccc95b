// ovNetStateObserver: told of network changes by the host. The provider's
// implementation object and the resolve service implement it; the
// configuration service manager takes network changes through
// onNetworkStateChanged instead.
//
// Thread: called on whatever thread the host reports from; implementations
// post to their own runner. Lifetime: owned by the implementer.
#pragma once

#include <cstdint>
#include <string>

#include "OrvaProxy/ov_export.h"

namespace OVProxy {

// The host's network state value, carried unchanged.
enum class ovNetworkState : int32_t {
  Unknown = 0,
  Disconnected = 1,
  Connected = 2,
};

class OV_PROXY_EXPORT ovNetStateObserver {
 public:
  virtual ~ovNetStateObserver();
  virtual void OnNetworkStateChanged(ovNetworkState state, const std::string& networkName) = 0;
  virtual void OnNetSettingChange(int setting) = 0;
};

}  // namespace OVProxy
