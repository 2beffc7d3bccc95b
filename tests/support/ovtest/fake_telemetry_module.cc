#include "ovtest/fake_telemetry_module.h"

#include <cstring>
#include <mutex>
#include <stdexcept>

#include "orvatelemetry/orva_telemetry_record.h"
#include "tavlib/tav_message_queue.h"

namespace ovtest {

class FakeTelemetryModule::Module final : public Tav::ITavMessageQueueClient,
                                          public orvaus::iOrvaAPMAPI,
                                          public orvaus::iOrvatelemetryAPI {
 public:
  const char* GetModuleId() const override { return orvaus::kTelemetryModuleId; }

  void* QueryInterface(const char* name) override {
    if (name == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (offer_apm && std::strcmp(name, orvaus::kAPMInterfaceName) == 0) {
      return static_cast<orvaus::iOrvaAPMAPI*>(this);
    }
    if (offer_telemetry && std::strcmp(name, orvaus::kTelemetryInterfaceName) == 0) {
      return static_cast<orvaus::iOrvatelemetryAPI*>(this);
    }
    return nullptr;
  }

  int32_t ShouldSample(const std::string& label, int64_t value) override {
    std::lock_guard<std::mutex> lock(mutex);
    admissions.push_back({label, value});
    return admission;
  }

  void AddLatencySample(const std::string& label, const orvaus::LatencySample& sample,
                        const orvaus::TelemetryFieldList& fields, int32_t processKind) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (throw_on_submit) throw std::runtime_error("telemetry module failed");
    latencies.push_back({label, sample, fields, processKind});
  }

  void SubmitEvent(const orvaus::EventHeader& header,
                   const orvaus::TelemetryFieldList& fields) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (throw_on_submit) throw std::runtime_error("telemetry module failed");
    events.push_back({header, fields});
  }

  std::unique_ptr<orvaus::iOrvaTelemetryRecord> CreateRecord(int32_t kind) override {
    std::lock_guard<std::mutex> lock(mutex);
    record_kinds.push_back(kind);
    if (fail_records) return nullptr;
    return std::make_unique<orvaus::FieldRecord>(kind);
  }

  mutable std::mutex mutex;
  bool offer_apm = true;
  bool offer_telemetry = true;
  int32_t admission = 1;
  bool fail_records = false;
  bool throw_on_submit = false;
  std::vector<Latency> latencies;
  std::vector<Event> events;
  std::vector<Admission> admissions;
  std::vector<int32_t> record_kinds;
};

FakeTelemetryModule::FakeTelemetryModule() : module_(std::make_shared<Module>()) {
  TavMQ_GetService()->RegisterModule(module_);
}

FakeTelemetryModule::~FakeTelemetryModule() {
  TavMQ_GetService()->UnregisterModule(orvaus::kTelemetryModuleId);
}

void FakeTelemetryModule::OfferApm(bool offer) {
  std::lock_guard<std::mutex> lock(module_->mutex);
  module_->offer_apm = offer;
}

void FakeTelemetryModule::OfferTelemetry(bool offer) {
  std::lock_guard<std::mutex> lock(module_->mutex);
  module_->offer_telemetry = offer;
}

void FakeTelemetryModule::SetAdmission(int32_t answer) {
  std::lock_guard<std::mutex> lock(module_->mutex);
  module_->admission = answer;
}

void FakeTelemetryModule::FailRecords(bool fail) {
  std::lock_guard<std::mutex> lock(module_->mutex);
  module_->fail_records = fail;
}

void FakeTelemetryModule::ThrowOnSubmit(bool fail) {
  std::lock_guard<std::mutex> lock(module_->mutex);
  module_->throw_on_submit = fail;
}

std::vector<FakeTelemetryModule::Latency> FakeTelemetryModule::latencies() const {
  std::lock_guard<std::mutex> lock(module_->mutex);
  return module_->latencies;
}

std::vector<FakeTelemetryModule::Event> FakeTelemetryModule::events() const {
  std::lock_guard<std::mutex> lock(module_->mutex);
  return module_->events;
}

std::vector<FakeTelemetryModule::Admission> FakeTelemetryModule::admissions() const {
  std::lock_guard<std::mutex> lock(module_->mutex);
  return module_->admissions;
}

std::vector<int32_t> FakeTelemetryModule::record_kinds() const {
  std::lock_guard<std::mutex> lock(module_->mutex);
  return module_->record_kinds;
}

}  // namespace ovtest
