// Costs on the resolution path: reading a feature switch through the
// enterprise adapter, and a telemetry report with and without a telemetry
// module; plus parsing a typical administrator's settings file.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_telemetry_reporter.h"
#include "orvatelemetry/orva_telemetry_record.h"
#include "tavbiz/admin_settings_store.h"
#include "tavlib/tav_message_queue.h"

namespace {

const char* const kSettings = R"({
  "policies": {"52": true, "51": 250, "50": false, "47": true},
  "featureToggles": {"ProxyPKRequestDelay": "300", "WinInetOnly": "false"},
  "experiments": {"UseWinINetResolveProxy": true}
})";

// The adapter over an in-memory store, installed for the benchmark's run.
class AdapterFixture {
 public:
  AdapterFixture()
      : store_(
            "bench",
            [] {
              return Tav::AdminSettingsSource{Tav::AdminSettingsSource::Status::kOk, kSettings, {}};
            },
            nullptr) {
    opref::OverridePolicyProviderForTesting(&store_);
    Tav::OverrideFeatureToggleProviderForTesting(&store_);
    ExperimentFramework::OverrideExperimentMgrForTesting(&store_);
    store_.CheckForChanges();
    adapter_ = std::make_unique<Adapter>();
    adapter_->Initialize();
  }
  ~AdapterFixture() {
    adapter_.reset();
    opref::OverridePolicyProviderForTesting(std::nullopt);
    Tav::OverrideFeatureToggleProviderForTesting(std::nullopt);
    ExperimentFramework::OverrideExperimentMgrForTesting(std::nullopt);
  }
  OVProxy::ovProxyEnterpriseAdapter& adapter() { return *adapter_; }

 private:
  class Adapter : public OVProxy::ovProxyEnterpriseAdapter {};
  Tav::AdminSettingsStore store_;
  std::unique_ptr<Adapter> adapter_;
};

void BM_GetFeatureBoolRegistered(benchmark::State& state) {
  AdapterFixture fixture;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fixture.adapter().GetFeatureBool(
        "ProxyDirectFirstFlag", OVProxy::FeatureSource::Policy, false, 0));
  }
}
BENCHMARK(BM_GetFeatureBoolRegistered)->ThreadRange(1, 4);

// What the resolve controller pays for "WinInetOnly" (never registered).
void BM_GetFeatureBoolUnregistered(benchmark::State& state) {
  AdapterFixture fixture;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        fixture.adapter().GetFeatureBool("WinInetOnly", OVProxy::FeatureSource::Policy, false, 0));
  }
}
BENCHMARK(BM_GetFeatureBoolUnregistered);

class TestReporter : public OVProxy::ovTelemetryReporter {};

void BM_ReportLatencyWithoutModule(benchmark::State& state) {
  TestReporter reporter;
  for (auto _ : state) reporter.reportLatency(23, 40, "", 2);
}
BENCHMARK(BM_ReportLatencyWithoutModule);

// A module that takes every record and drops it.
class NullModule final : public Tav::ITavMessageQueueClient,
                         public orvaus::iOrvaAPMAPI,
                         public orvaus::iOrvatelemetryAPI {
 public:
  const char* GetModuleId() const override { return orvaus::kTelemetryModuleId; }
  void* QueryInterface(const char* name) override {
    if (std::strcmp(name, orvaus::kAPMInterfaceName) == 0) {
      return static_cast<orvaus::iOrvaAPMAPI*>(this);
    }
    if (std::strcmp(name, orvaus::kTelemetryInterfaceName) == 0) {
      return static_cast<orvaus::iOrvatelemetryAPI*>(this);
    }
    return nullptr;
  }
  int32_t ShouldSample(const std::string&, int64_t) override { return 1; }
  void AddLatencySample(const std::string&, const orvaus::LatencySample& sample,
                        const orvaus::TelemetryFieldList&, int32_t) override {
    benchmark::DoNotOptimize(sample.value_ms);
  }
  void SubmitEvent(const orvaus::EventHeader&, const orvaus::TelemetryFieldList&) override {}
  std::unique_ptr<orvaus::iOrvaTelemetryRecord> CreateRecord(int32_t kind) override {
    return std::make_unique<orvaus::FieldRecord>(kind);
  }
};

void BM_ReportLatencyWithModule(benchmark::State& state) {
  TavMQ_GetService()->RegisterModule(std::make_shared<NullModule>());
  TestReporter reporter;
  for (auto _ : state) reporter.reportLatency(23, 40, "", 2);
  TavMQ_GetService()->UnregisterModule(orvaus::kTelemetryModuleId);
}
BENCHMARK(BM_ReportLatencyWithModule);

void BM_ParseAdminSettings(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Tav::ParseAdminSettings(kSettings));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(std::strlen(kSettings)));
}
BENCHMARK(BM_ParseAdminSettings);

}  // namespace
