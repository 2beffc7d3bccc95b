// ovTelemetryReporter: hands latency samples, events and the hourly
// configuration summary to the client's telemetry module.
//
// Every report is best-effort: without the telemetry module it is a silent
// no-op. Callable from any runner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "tavbiz/ov_proxy_info.h"

namespace OVProxy {

class ovTelemetryReporter {
 public:
  static ovTelemetryReporter& GetInstance();

  // A latency sample of `metricId`. `resultKind`, when given, travels as an
  // event record with the sample.
  void reportLatency(int32_t metricId, int64_t valueMs, const std::string& label = std::string(),
                     std::optional<int32_t> resultKind = std::nullopt);
  // Event 39 with a code and a value.
  void reportEvent(int32_t code, int64_t value);
  // Event 38, at most once an hour per process.
  void reportConfigSummary(const ovProxyConfig& config);

  // 1 direct, 2 HTTP, 3 HTTPS, 4 SOCKS4, 5 other SOCKS, 6 anything else.
  static int32_t ResultKind(const ovProxyInfo& info);
  // 1..8 from auto-detect, PAC URL and manual rules.
  static int32_t ConfigKind(const ovProxyConfig& config);
};

}  // namespace OVProxy
