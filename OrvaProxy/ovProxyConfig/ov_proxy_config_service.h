// ovProxyConfigService: one source of the proxy configuration (the system
// settings or a Firefox profile). It keeps its latest result and tells its
// observers of each new one.
//
// Owner-runner rule: a service remembers the runner it was created for;
// state-changing calls from another runner are ignored without error and
// getters answer a neutral value. Reads of the source happen on a polling
// runner of the service's own (see ov_polling_proxy_config_service.h) and
// their results are handed to the owner runner.
//
// Lifetime: owned by the configuration service manager, created and
// destroyed on the owner runner.
#pragma once

#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_observer.h"

namespace OVProxy {

class ovProxyConfigService {
 public:
  virtual ~ovProxyConfigService() = default;

  // The latest configuration into `out`, or CONFIG_PENDING (out untouched)
  // while nothing was read yet. May start a read.
  virtual ovProxyConfigAvailability getLatestProxyConfig(ovProxyConfig& out) = 0;
  // Reads the source again when the last read is older than the interval.
  virtual void onLazyPoll() {}
  // Reads the source again now (unless a read is already under way).
  virtual void pollNow() {}
  virtual void onNetworkStateChanged() {}
  virtual void addObserver(ovProxyConfigServiceObserver* observer) = 0;
  virtual void removeObserver(ovProxyConfigServiceObserver* observer) = 0;
  // "Windows" or "Firefox".
  virtual std::string getServiceName() const = 0;
  // The stored configuration, or null while there is none.
  virtual const ovProxyConfig* currentConfig() const = 0;
  virtual ovProxyConfigAvailability availability() const = 0;
  virtual bool hasConfig() const { return true; }
  // Whether (config, availability) differs from what is stored.
  virtual bool hasConfigChanged(const ovProxyConfig& config,
                                ovProxyConfigAvailability availability) const = 0;
  // Reads the source (on the polling runner). False when it could not be
  // read; the caller then uses a direct configuration.
  virtual bool fetchProxyConfig(ovProxyConfig& config, ovProxyConfigAvailability* availability) = 0;
  virtual void performPoll() = 0;
};

}  // namespace OVProxy
