#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_win.h"

#include <exception>

#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_telemetry_reporter.h"

namespace OVProxy {

namespace {
// Telemetry code of a failed read of the per-user settings.
constexpr int32_t kSettingsReadFailedCode = 7;
}  // namespace

ovProxyConfigServiceWin::ovProxyConfigServiceWin(const std::string& ownerRunnerName,
                                                 int64_t pollInterval)
    : ovPollingProxyConfigService(ownerRunnerName, pollInterval) {}

ovProxyConfigServiceWin::~ovProxyConfigServiceWin() {
  shutdownPolling();
}

std::string ovProxyConfigServiceWin::lastBackend() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_backend_;
}

bool ovProxyConfigServiceWin::TranslateSettings(const ovplatform::UserProxySettings& settings,
                                                ovProxyConfig& config,
                                                std::vector<std::string>* not_used) {
  std::vector<std::string> refused;
  const std::string proxy = DropOverlongProxyHosts(
      "proxy", BoundedValue("proxy", settings.proxy, kMaxListBytes, refused), refused);
  const std::string bypass = DropOverlongBypassEntries(
      "bypass list", BoundedValue("bypass list", settings.bypass, kMaxListBytes, refused), refused);
  const std::string pac_url =
      BoundedValue("auto-config URL", settings.auto_config_url, kMaxUrlBytes, refused);

  bool has_settings = false;
  if (settings.auto_detect) {
    config.setAutoDetectEnabled(true);
    has_settings = true;
  }
  if (!proxy.empty()) {
    try {
      config.proxy_rules().ParseFromString(proxy);
      has_settings = has_settings || config.proxy_rules().type != ovProxyConfig::RulesType::None;
    } catch (const std::exception&) {
      // Keep what the other settings gave.
    }
  }
  if (!bypass.empty()) {
    try {
      config.proxy_rules().bypass_rules.ParseFromString(bypass);
    } catch (const std::exception&) {
    }
  }
  if (not_used != nullptr) {
    *not_used = std::move(refused);
    for (const std::string& rule : config.proxy_rules().bypass_rules.MalformedAddressRanges()) {
      not_used->push_back("bypass entry " + rule + ": not an address range");
    }
  }
  if (!pac_url.empty()) {
    config.setPacUrl(pac_url);
    return true;
  }
  return has_settings;
}

bool ovProxyConfigServiceWin::fetchProxyConfig(ovProxyConfig& config,
                                               ovProxyConfigAvailability* availability) {
  ovplatform::UserProxySettings settings;
  uint32_t error = 0;
  std::string backend;
  if (!ovplatform::GetUserProxySettingsReader().Read(settings, error)) {
    ovTelemetryReporter::GetInstance().reportEvent(kSettingsReadFailedCode, error);
    ovLog(LogLevel::kWarning, "CfgSvcWin01",
          "ProxyConfigServiceWin: Reading the user's proxy settings failed - error=" +
              std::to_string(error));
    config = ovProxyConfig();
    config.set_from_system(false);
  } else {
    backend = settings.backend;
    std::vector<std::string> not_used;
    if (!TranslateSettings(settings, config, &not_used)) {
      config = ovProxyConfig();
      config.set_from_system(false);
    }
    not_used_log_.Update(not_used);
    const std::string summary = "backend=" + backend + ", config=" + config.toString();
    if (summary != last_logged_) {
      last_logged_ = summary;
      ovLog(LogLevel::kInfo, "CfgSvcWin02", "ProxyConfigServiceWin: Settings read - " + summary);
      if (!settings.note.empty()) {
        ovLog(LogLevel::kWarning, "CfgSvcWin03",
              "ProxyConfigServiceWin: Settings not carried - backend=" + backend +
                  ", note=" + settings.note);
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    last_backend_ = backend;
  }
  if (availability != nullptr) *availability = CONFIG_VALID;
  return true;
}

}  // namespace OVProxy
