#include "OrvaProxy/ov_telemetry_reporter.h"

#include <memory>

#include "orvatelemetry/orva_telemetry_api.h"
#include "tavbiz/tav_process_type.h"
#include "tavlib/tav_clock.h"
#include "tavlib/tav_message_queue.h"

namespace OVProxy {
namespace {

// Constants of the telemetry schema, sent as they are.
constexpr int32_t kSchemaProduct = 14;
constexpr int32_t kLatencyCategory = 13;
constexpr int32_t kSchemaPriority = 5;
constexpr int32_t kEventHeaderVersion = 3;
constexpr int64_t kLatencyBucketBounds[] = {50,   100,  200,   500,   1000,
                                            2000, 5000, 10000, 30000, 60000};

// The module and its interfaces, looked up anew for every report. Holding
// the module keeps the interfaces alive while the report uses them.
struct TelemetryLinks {
  std::shared_ptr<Tav::ITavMessageQueueClient> module;
  orvaus::iOrvaAPMAPI* apm = nullptr;
  orvaus::iOrvatelemetryAPI* telemetry = nullptr;
};

TelemetryLinks LookUp() {
  TelemetryLinks links;
  Tav::ITavMessageQueueService* service = TavMQ_GetService();
  if (service == nullptr) return links;
  links.module = service->GetModule(orvaus::kTelemetryModuleId);
  if (!links.module) return links;
  links.apm =
      static_cast<orvaus::iOrvaAPMAPI*>(links.module->QueryInterface(orvaus::kAPMInterfaceName));
  links.telemetry = static_cast<orvaus::iOrvatelemetryAPI*>(
      links.module->QueryInterface(orvaus::kTelemetryInterfaceName));
  return links;
}

orvaus::EventHeader MakeHeader(int32_t eventId) {
  orvaus::EventHeader header;
  header.version = kEventHeaderVersion;
  header.event_id = eventId;
  header.reserved64 = 0;
  header.priority = kSchemaPriority;
  header.product = kSchemaProduct;
  header.reserved32 = 0;
  return header;
}

// Runs one report; a module that throws must not take the caller down.
template <typename Report>
void BestEffort(Report&& report) {
  try {
    report();
  } catch (...) {  // NOLINT(bugprone-empty-catch): reports are best-effort
  }
}

// Submits one event record (kind 59) under `eventId`, filled by `fill`.
// Needs both interfaces; anything missing ends the report silently.
template <typename Fill>
void SubmitEvent(int32_t eventId, Fill&& fill) {
  BestEffort([&] {
    const TelemetryLinks links = LookUp();
    if (links.apm == nullptr || links.telemetry == nullptr) return;
    const std::unique_ptr<orvaus::iOrvaTelemetryRecord> record =
        links.telemetry->CreateRecord(ovTelemetryReporter::kEventRecordKind);
    if (!record) return;
    fill(*record);
    links.apm->SubmitEvent(MakeHeader(eventId), record->Serialize());
  });
}

}  // namespace

ovTelemetryReporter& ovTelemetryReporter::GetInstance() {
  static ovTelemetryReporter reporter;
  return reporter;
}

int32_t ovTelemetryReporter::ProcessKind() {
  return Tav::GetProcessType() == Tav::kProcessTypeMain ? 4 : 3;
}

void ovTelemetryReporter::reportLatency(int32_t metricId, int64_t valueMs, const std::string& label,
                                        std::optional<int32_t> resultKind) {
  BestEffort([&] {
    const TelemetryLinks links = LookUp();
    if (links.apm == nullptr) return;
    if (!label.empty() && links.apm->ShouldSample(label, valueMs) == 0) return;

    orvaus::LatencySample sample;
    sample.value_ms = valueMs;
    sample.bucket_bounds.assign(std::begin(kLatencyBucketBounds), std::end(kLatencyBucketBounds));
    sample.product = kSchemaProduct;
    sample.category = kLatencyCategory;
    sample.priority = kSchemaPriority;
    sample.metric_id = metricId;

    orvaus::TelemetryFieldList fields;
    if (resultKind) {
      if (links.telemetry == nullptr) return;
      const std::unique_ptr<orvaus::iOrvaTelemetryRecord> record =
          links.telemetry->CreateRecord(kEventRecordKind);
      if (!record) return;
      record->SetResultKind(*resultKind);
      fields = record->Serialize();
    }
    links.apm->AddLatencySample(label, sample, fields, ProcessKind());
  });
}

void ovTelemetryReporter::reportEvent(int32_t code, int64_t value) {
  SubmitEvent(kProxyEventId, [&](orvaus::iOrvaTelemetryRecord& record) {
    record.SetCode(code);
    record.SetValue(value);
  });
}

void ovTelemetryReporter::reportConfigSummary(const ovProxyConfig& config) {
  const int64_t now_ns = Tav::TimeTicks::NowNs();
  // Claim the hour before sending: of several threads at the boundary only
  // the one whose exchange succeeds sends.
  int64_t last = last_summary_ns_.load(std::memory_order_relaxed);
  do {
    if (last != kNever && now_ns - last < kSummaryIntervalNs) return;
  } while (!last_summary_ns_.compare_exchange_weak(last, now_ns, std::memory_order_relaxed));

  SubmitEvent(kConfigSummaryEventId, [&](orvaus::iOrvaTelemetryRecord& record) {
    const ovProxyBypassRules& bypass = config.proxy_rules().bypass_rules;
    record.SetSource(config.source() == ConfigSource::Firefox ? 2 : 1);
    record.SetConfigKind(ConfigKind(config));
    record.SetBypass(!bypass.rules().empty() || bypass.bypass_simple_hostnames());
  });
}

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
