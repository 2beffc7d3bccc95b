// FixedConfigManager: a configuration service manager that always answers
// one configuration, for `ovproxy resolve` with --proxy, --pac-url,
// --auto-detect or --bypass in place of the machine's settings. It has no
// sources, so it never reports changes.
//
// Thread: used on the module's resolve runner; the configuration is fixed
// before the manager is handed over.
#pragma once

#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_manager.h"

namespace ovproxy {

class FixedConfigManager final : public OVProxy::ovProxyConfigServiceManager {
 public:
  explicit FixedConfigManager(OVProxy::ovProxyConfig config) : config_(std::move(config)) {}

  OVProxy::ovProxyConfigAvailability getLatestProxyConfig(OVProxy::ovProxyConfig& out) override {
    out = config_;
    return OVProxy::CONFIG_VALID;
  }
  void onLazyPoll() override {}
  void onNetworkStateChanged() override {}
  void addObserver(OVProxy::ovProxyConfigServiceObserver*) override {}
  void removeObserver(OVProxy::ovProxyConfigServiceObserver*) override {}
  std::string getServiceName() override { return "override"; }
  const OVProxy::ovProxyConfig* currentConfig() override { return &config_; }
  void setBrowserType(OVProxy::ovBrowserType) override {}
  OVProxy::ovBrowserType getBrowserType() override { return OVProxy::ovBrowserType::Undetected; }

 private:
  const OVProxy::ovProxyConfig config_;
};

}  // namespace ovproxy
