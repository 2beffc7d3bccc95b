// What a configuration source tells its observers: a configuration and how
// usable it is.
//
// ovProxyConfigAvailability: CONFIG_PENDING nothing read yet, CONFIG_VALID
// a configuration was read, CONFIG_UNSET the source has none to offer (the
// manager then uses the system source).
//
// Thread: observers are called on the runner that owns the source (or the
// manager) they registered with, never on a polling runner. Lifetime: an
// observer is not owned; it removes itself before it is destroyed.
#pragma once

#include <cstdint>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_export.h"

namespace OVProxy {

enum ovProxyConfigAvailability : int32_t {
  CONFIG_PENDING = 0,
  CONFIG_VALID = 1,
  CONFIG_UNSET = 2,
};

// "PENDING", "VALID", "UNSET" (log and tool text).
OV_PROXY_EXPORT const char* ovProxyConfigAvailabilityName(ovProxyConfigAvailability availability);

class ovProxyConfigServiceObserver {
 public:
  virtual ~ovProxyConfigServiceObserver() = default;
  virtual void onProxyConfigChanged(const ovProxyConfig& config,
                                    ovProxyConfigAvailability availability) = 0;
};

}  // namespace OVProxy
