#include "ovtest/fake_telemetry_module.h"

#include <cstring>
#include <stdexcept>

#include "orvatelemetry/orva_telemetry_record.h"
#include "tavlib/tav_message_queue.h"

namespace ovtest {
namespace {

class Module final : public FakeTelemetryModule::State,
                     public Tav::ITavMessageQueueClient,
                     public orvaus::iOrvaAPMAPI,
                     public orvaus::iOrvatelemetryAPI {
 public:
  const char* GetModuleId() const override { return orvaus::kTelemetryModuleId; }
  void* QueryInterface(const char* name) override {
    if (name == nullptr) return nullptr;
    if (offer_apm && std::strcmp(name, orvaus::kAPMInterfaceName) == 0)
      return static_cast<orvaus::iOrvaAPMAPI*>(this);
    if (offer_telemetry && std::strcmp(name, orvaus::kTelemetryInterfaceName) == 0)
      return static_cast<orvaus::iOrvatelemetryAPI*>(this);
    return nullptr;
  }
  int32_t ShouldSample(const std::string& label, int64_t value) override {
    std::lock_guard lock(mutex);
    admissions.push_back({label, value});
    return admission;
  }
  void AddLatencySample(const std::string& label, const orvaus::LatencySample& sample,
                        const orvaus::TelemetryFieldList& fields, int32_t processKind) override {
    if (throw_on_submit) throw std::runtime_error("telemetry module failed");
    std::lock_guard lock(mutex);
    latencies.push_back({label, sample, fields, processKind});
  }
  void SubmitEvent(const orvaus::EventHeader& header,
                   const orvaus::TelemetryFieldList& fields) override {
    if (throw_on_submit) throw std::runtime_error("telemetry module failed");
    std::lock_guard lock(mutex);
    events.push_back({header, fields});
  }
  std::unique_ptr<orvaus::iOrvaTelemetryRecord> CreateRecord(int32_t kind) override {
    if (fail_records) return nullptr;
    return std::make_unique<orvaus::FieldRecord>(kind);
  }
};

}  // namespace

FakeTelemetryModule::FakeTelemetryModule() {
  auto module = std::make_shared<Module>();
  state_ = module;
  TavMQ_GetService()->RegisterModule(module);
}

FakeTelemetryModule::~FakeTelemetryModule() {
  TavMQ_GetService()->UnregisterModule(orvaus::kTelemetryModuleId);
}

}  // namespace ovtest
