// FakeConfigManager: a configuration service manager driven by hand: it
// answers what the test set, tells its observers (on the calling thread)
// what the test publishes, and counts network changes. Unlike the real one
// it does not check which runner calls it.
#pragma once

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_manager.h"

namespace ovtest {

class FakeConfigManager final : public OVProxy::ovProxyConfigServiceManager {
 public:
  void Set(const OVProxy::ovProxyConfig& config, OVProxy::ovProxyConfigAvailability availability) {
    config_ = config;
    availability_ = availability;
  }
  void Publish(const OVProxy::ovProxyConfig& config,
               OVProxy::ovProxyConfigAvailability availability) {
    Set(config, availability);
    for (auto* observer : std::vector(observers_))
      observer->onProxyConfigChanged(config_, availability_);
  }
  int network_changes() const { return network_changes_; }
  std::size_t observer_count() const { return observers_.size(); }
  OVProxy::ovProxyConfigAvailability getLatestProxyConfig(OVProxy::ovProxyConfig& out) override {
    out = config_;
    return availability_;
  }
  void onLazyPoll() override {}
  void onNetworkStateChanged() override { ++network_changes_; }
  void addObserver(OVProxy::ovProxyConfigServiceObserver* observer) override {
    observers_.push_back(observer);
  }
  void removeObserver(OVProxy::ovProxyConfigServiceObserver* observer) override {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
  }
  std::string getServiceName() override { return "Fake"; }
  const OVProxy::ovProxyConfig* currentConfig() override { return &config_; }
  void setBrowserType(OVProxy::ovBrowserType type) override { browser_ = type; }
  OVProxy::ovBrowserType getBrowserType() override { return browser_; }

 private:
  OVProxy::ovProxyConfig config_;
  OVProxy::ovProxyConfigAvailability availability_ = OVProxy::CONFIG_PENDING;
  std::vector<OVProxy::ovProxyConfigServiceObserver*> observers_;
  std::atomic<int> network_changes_{0};
  OVProxy::ovBrowserType browser_ = OVProxy::ovBrowserType::Undetected;
};

}  // namespace ovtest
