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
// Values past the bounds of ov_setting_limits.h are refused as if missing
// (prefs.js lines are bounded before they are copied, see prejs_parser.h);
// bypass entries written like an address range that is none are inert.
// What is not used, like a profile that is not found or a prefs.js that
// cannot be read, is logged when it starts, changes and ends, not at every
// poll.
//
// Thread, lifetime: as ovPollingProxyConfigService. The profile path is
// touched on the polling runner only, except profilePath() (any thread).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_polling_proxy_config_service.h"
#include "OrvaProxy/ovProxyConfig/ov_setting_limits.h"

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

  // The mapping of loaded preferences to a configuration. What was refused
  // or left inert is named in `not_used` when given.
  static ovProxyConfigAvailability MapPreferences(const prejs_parser& prefs, ovProxyConfig& config,
                                                  std::vector<std::string>* not_used = nullptr);

 private:
  mutable std::mutex mutex_;
  std::string profile_path_;
  bool profile_path_known_ = false;
  ovConditionLog not_used_log_{LogLevel::kWarning, "CfgSvcFfx02",
                               "ProxyConfigServiceFirefox: Settings not used"};  // polling runner
};

}  // namespace OVProxy
