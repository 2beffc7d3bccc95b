#include "OrvaProxy/ov_telemetry_reporter.h"

namespace OVProxy {

// Placeholder until the telemetry module layer exists: reports are dropped,
// exactly as when no telemetry module is registered.
ovTelemetryReporter& ovTelemetryReporter::GetInstance() {
  static ovTelemetryReporter reporter;
  return reporter;
}

void ovTelemetryReporter::reportLatency(int32_t, int64_t, const std::string&,
                                        std::optional<int32_t>) {}
void ovTelemetryReporter::reportEvent(int32_t, int64_t) {}
void ovTelemetryReporter::reportConfigSummary(const ovProxyConfig&) {}

int32_t ovTelemetryReporter::ResultKind(const ovProxyInfo& info) {
  if (info.is_direct()) return 1;
  if (info.is_http()) return 2;
  if (info.is_https()) return 3;
  if (info.is_socks()) {
    const std::string& scheme = info.proxy_server().scheme;
    return (scheme == "SOCKS4" || scheme == "socks4") ? 4 : 5;
  }
  return 6;
}

int32_t ovTelemetryReporter::ConfigKind(const ovProxyConfig& config) {
  const bool a = config.auto_detect();
  const bool p = config.has_pac_url();
  const bool m = config.proxy_rules().type != ovProxyConfig::RulesType::None;
  if (a && p && m) return 8;
  if (a && m) return 7;
  if (p && m) return 6;
  if (a && p) return 5;
  if (m) return 4;
  if (p) return 3;
  if (a) return 2;
  return 1;
}

}  // namespace OVProxy
