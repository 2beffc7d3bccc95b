// ovProxyConfigServiceManagerImpl: owns the configuration sources and hands
// one configuration to its observers (the resolve service).
//
// The system source always exists; the Firefox source is created once
// Firefox is known to be the default browser (detected on the first
// getLatestProxyConfig from the "http" association, or set with
// setBrowserType) and stays until the manager goes. Firefox is in force
// while it has not read yet or read something other than CONFIG_UNSET;
// otherwise the system source is. A Firefox result of CONFIG_UNSET makes
// the system source poll at once. Results of the source not in force are
// not passed on, and a result equal to the last one passed on (same
// availability, equal configuration) is dropped; with no observer nothing
// is passed on or remembered.
//
// Logging: the source in force is logged when the choice changes, and a
// result received when it differs from the last one from the same source;
// polls and requests that change nothing add no lines.
//
// Thread: created, used and destroyed on the owner runner named at
// construction (empty: no owner, every thread counts). Calls from another
// runner are ignored; getBrowserType then answers Undetected. Observers are
// called synchronously on the owner runner.
// Lifetime: observers are not owned and must be removed before they go.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_manager.h"
#include "OrvaProxy/ov_export.h"

namespace OVProxy {

class ovProxyConfigService;
class ovProxyConfigServiceWin;
class ovProxyConfigServiceFirefox;

class OV_PROXY_EXPORT ovProxyConfigServiceManagerImpl : public ovProxyConfigServiceManager,
                                                        public ovProxyConfigServiceObserver {
 public:
  explicit ovProxyConfigServiceManagerImpl(const std::string& ownerRunnerName);
  ~ovProxyConfigServiceManagerImpl() override;
  ovProxyConfigServiceManagerImpl(const ovProxyConfigServiceManagerImpl&) = delete;
  ovProxyConfigServiceManagerImpl& operator=(const ovProxyConfigServiceManagerImpl&) = delete;

  ovProxyConfigAvailability getLatestProxyConfig(ovProxyConfig& out) override;
  void onLazyPoll() override;
  void onNetworkStateChanged() override;
  void addObserver(ovProxyConfigServiceObserver* observer) override;
  void removeObserver(ovProxyConfigServiceObserver* observer) override;
  std::string getServiceName() override;
  const ovProxyConfig* currentConfig() override;
  void setBrowserType(ovBrowserType type) override;
  ovBrowserType getBrowserType() override;

  void onProxyConfigChanged(const ovProxyConfig& config,
                            ovProxyConfigAvailability availability) override;

  // Where the configuration in force comes from, for people: "system
  // (gnome)", "Firefox (/home/u/.mozilla/firefox/x/prefs.js)". Owner runner.
  std::string describeSource();
  // The program the "http" association names, as last detected; empty
  // before detection or when none. Owner runner.
  std::string defaultBrowserProgram() const { return browser_program_; }

 private:
  bool checkOwnerThreadImpl(const char* function, const char* file, int line) const;
  bool shouldUseFirefoxConfig();
  ovProxyConfigService* getActiveService();
  void handleBrowserTypeChange(ovBrowserType oldType, ovBrowserType newType);
  void detectAndSetDefaultBrowser();
  ovBrowserType getDefaultBrowser();
  void notifyObservers(const ovProxyConfig& config, ovProxyConfigAvailability availability);

  std::unique_ptr<ovProxyConfigServiceWin> windows_service_;
  std::unique_ptr<ovProxyConfigServiceFirefox> firefox_service_;
  std::vector<ovProxyConfigServiceObserver*> observers_;
  std::string owner_runner_name_;
  uint16_t owner_runner_id_ = 65535;
  ovBrowserType browser_type_ = ovBrowserType::Undetected;
  ovProxyConfig last_config_;
  ovProxyConfigAvailability last_availability_ = CONFIG_UNSET;
  std::string browser_program_;
  // What was last logged: the source chosen (-1 none yet, 0 system because
  // Firefox is unset, 1 Firefox) and, per source (0 system, 1 Firefox), the
  // last result received.
  int logged_choice_ = -1;
  struct Received {
    bool any = false;
    ovProxyConfig config;
    ovProxyConfigAvailability availability = CONFIG_UNSET;
  };
  Received last_received_[2];
};

}  // namespace OVProxy
