// ovProxyConfigServiceFirefox: the Firefox source, used while Firefox is the
// default browser. It finds the profile's prefs.js once (see
// ov_firefox_profile.h; a failed lookup is tried again at the next poll) and
// maps "network.proxy.type" on every poll:
//   1 manual   -> per-scheme rules from the http, ssl, ftp and socks
//                 host/port preferences and the bypass list
//                 "network.proxy.no_proxies_on" ("localhost,127.0.0.1" when
//                 missing or empty);
//   2 PAC      -> pac_url "network.proxy.autoconfig_url" (maybe empty);
//   4 detect   -> auto_detect;
// each CONFIG_VALID with source Firefox. Type 0 (no proxy), 5 (use the
// system settings), a missing type and any other value, and a profile that
// cannot be found or read, give CONFIG_UNSET, so the manager falls back to
// the system source.
//
// Thread, lifetime: as ovPollingProxyConfigService. The profile path is
// touched on the polling runner only, except profilePath() (any thread).
#pragma once

#include <mutex>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_polling_proxy_config_service.h"

namespace OVProxy {

class prejs_parser;

class ovProxyConfigServiceFirefox final : public ovPollingProxyConfigService {
 public:
  explicit ovProxyConfigServiceFirefox(const std::string& ownerRunnerName,
                                       int64_t pollInterval = kDefaultPollInterval);
  ~ovProxyConfigServiceFirefox() override;

  std::string getServiceName() const override { return "Firefox"; }
  void onNetworkStateChanged() override { pollNow(); }
  bool fetchProxyConfig(ovProxyConfig& config, ovProxyConfigAvailability* availability) override;

  // The prefs.js in use; empty until found.
  std::string profilePath() const;

  // The mapping of loaded preferences to a configuration.
  static ovProxyConfigAvailability MapPreferences(const prejs_parser& prefs, ovProxyConfig& config);

 private:
  mutable std::mutex mutex_;
  std::string profile_path_;
  bool profile_path_known_ = false;
};

}  // namespace OVProxy
