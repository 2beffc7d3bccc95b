// ovProxyConfigServiceManager: presents one proxy configuration, taken from
// the source in force, to the resolution service. See
// ov_proxy_config_service_manager_impl.h for the implementation.
//
// Thread: every call on the manager's owner runner; calls from another
// runner are ignored (getters answer a neutral value).
#pragma once

#include <cstdint>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_observer.h"

namespace OVProxy {

enum class ovBrowserType : int32_t {
  Undetected = 0,
  Firefox = 1,
  Other = 2,
};

class ovProxyConfigServiceManager {
 public:
  virtual ~ovProxyConfigServiceManager() = default;
  virtual ovProxyConfigAvailability getLatestProxyConfig(ovProxyConfig& out) = 0;
  virtual void onLazyPoll() = 0;
  virtual void onNetworkStateChanged() = 0;
  virtual void addObserver(ovProxyConfigServiceObserver* observer) = 0;
  virtual void removeObserver(ovProxyConfigServiceObserver* observer) = 0;
  virtual std::string getServiceName() = 0;
  virtual const ovProxyConfig* currentConfig() = 0;
  virtual void setBrowserType(ovBrowserType type) = 0;
  virtual ovBrowserType getBrowserType() = 0;
};

}  // namespace OVProxy
