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
                                                ovProxyConfig& config) {
  bool has_settings = false;
  if (settings.auto_detect) {
    config.setAutoDetectEnabled(true);
    has_settings = true;
  }
  if (!settings.proxy.empty()) {
    try {
      config.proxy_rules().ParseFromString(settings.proxy);
      has_settings = has_settings || config.proxy_rules().type != ovProxyConfig::RulesType::None;
    } catch (const std::exception&) {
      // Keep what the other settings gave.
    }
  }
  if (!settings.bypass.empty()) {
    try {
      config.proxy_rules().bypass_rules.ParseFromString(settings.bypass);
    } catch (const std::exception&) {
    }
  }
  if (!settings.auto_config_url.empty()) {
    config.setPacUrl(settings.auto_config_url);
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
    if (!TranslateSettings(settings, config)) {
      config = ovProxyConfig();
      config.set_from_system(false);
    }
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
