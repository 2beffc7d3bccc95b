// ovTelemetryReporter: hands latency samples, events and the hourly
// configuration summary to the client's telemetry module.
//
// Every report looks the telemetry module and its two interfaces up anew
// through the message-queue service (orvatelemetry/orva_telemetry_api.h), so
// a module registered or removed at any time is honoured. Every report is
// best-effort: without the module, an interface or a record it is a silent
// no-op, and nothing the module throws reaches the caller.
//
// Thread-safety: callable from any runner. The hourly summary admits exactly
// one caller per hour even when several race at the boundary.
// Lifetime: GetInstance's reporter is created on first use and lives until
// the process exits.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "tavbiz/ov_proxy_info.h"

namespace OVProxy {

class ovTelemetryReporter {
 public:
  // Record kind of the module's event records, and the events sent.
  static constexpr int32_t kEventRecordKind = 59;
  static constexpr int32_t kConfigSummaryEventId = 38;
  static constexpr int32_t kProxyEventId = 39;
  // A summary is sent at most once in this many nanoseconds (one hour).
  static constexpr int64_t kSummaryIntervalNs = 3'600'000'000'000;

  static ovTelemetryReporter& GetInstance();

  virtual ~ovTelemetryReporter() = default;
  ovTelemetryReporter(const ovTelemetryReporter&) = delete;
  ovTelemetryReporter& operator=(const ovTelemetryReporter&) = delete;

  // A latency sample of `metricId`. A non-empty label is first offered to
  // the module's admission check. `resultKind`, when given, travels as an
  // event record with the sample.
  void reportLatency(int32_t metricId, int64_t valueMs, const std::string& label = std::string(),
                     std::optional<int32_t> resultKind = std::nullopt);
  // Event 39 with a code and a value.
  void reportEvent(int32_t code, int64_t value);
  // Event 38, at most once an hour per reporter (measured on Tav::TimeTicks).
  // The hour starts when a summary is attempted, whether or not a module was
  // there to take it.
  void reportConfigSummary(const ovProxyConfig& config);

  // 1 direct, 2 HTTP, 3 HTTPS, 4 SOCKS4 (scheme text exactly "SOCKS4" or
  // "socks4"), 5 other SOCKS, 6 anything else (an empty answer included).
  static int32_t ResultKind(const ovProxyInfo& info);
  // From auto-detect (A), a PAC URL (P) and manual rules (M): 1 none, 2 A,
  // 3 P, 4 M, 5 A+P, 6 P+M, 7 A+M, 8 A+P+M.
  static int32_t ConfigKind(const ovProxyConfig& config);
  // What the module is told about this process: 4 in the client's main
  // process (Tav::GetProcessType() == 2), 3 otherwise.
  static int32_t ProcessKind();

 protected:
  // The module uses GetInstance; tests create their own reporters so that
  // each starts without a summary sent.
  ovTelemetryReporter() = default;

 private:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::min();

  // Monotonic nanoseconds of the last summary attempt; kNever before one.
  std::atomic<int64_t> last_summary_ns_{kNever};
};

}  // namespace OVProxy
