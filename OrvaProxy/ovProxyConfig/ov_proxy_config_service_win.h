// ovProxyConfigServiceWin: the system source. It polls the current user's
// proxy settings (platform/proxysettings: on Linux GNOME, KDE or the
// environment) and translates the record:
//   - auto-detect flag set -> auto_detect;
//   - proxy string -> manual rules (it counts only when it yields rules);
//   - bypass string -> bypass rules (alone it does not count);
//   - auto-config URL -> pac_url, and the record counts whatever else held;
// a record that counts for nothing, or a settings read that fails (reported
// as telemetry event 39 code 7 with the system error code), gives a direct
// configuration. Every read answers CONFIG_VALID.
//
// Values past the bounds of ov_setting_limits.h (a host name over 255
// bytes, a PAC URL over 2 KiB, a proxy string or bypass list over 64 KiB)
// are refused as if unset; bypass entries written like an address range
// that is none are inert. Both are logged once when they appear, change or
// go away, not at every poll.
//
// Which backend gave the record is logged when it or the configuration
// changes, and answered by lastBackend().
//
// Thread, lifetime: as ovPollingProxyConfigService.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_polling_proxy_config_service.h"
#include "OrvaProxy/ovProxyConfig/ov_setting_limits.h"
#include "platform/proxysettings/ov_user_proxy_settings.h"

namespace OVProxy {

class ovProxyConfigServiceWin final : public ovPollingProxyConfigService {
 public:
  explicit ovProxyConfigServiceWin(const std::string& ownerRunnerName,
                                   int64_t pollInterval = kDefaultPollInterval);
  ~ovProxyConfigServiceWin() override;

  std::string getServiceName() const override { return "Windows"; }
  void onNetworkStateChanged() override { pollNow(); }
  bool fetchProxyConfig(ovProxyConfig& config, ovProxyConfigAvailability* availability) override;

  // The backend of the last successful read ("gnome", "kde",
  // "environment"); empty before one. Any thread.
  std::string lastBackend() const;

  // The record's translation; false when it holds no settings (the caller
  // then uses a direct configuration). What was refused or left inert is
  // named in `not_used` when given.
  static bool TranslateSettings(const ovplatform::UserProxySettings& settings,
                                ovProxyConfig& config,
                                std::vector<std::string>* not_used = nullptr);

 private:
  mutable std::mutex mutex_;
  std::string last_backend_;
  std::string last_logged_;  // polling runner only
  ovConditionLog not_used_log_{LogLevel::kWarning, "CfgSvcWin04",
                               "ProxyConfigServiceWin: Settings not used"};  // polling runner
};

}  // namespace OVProxy
