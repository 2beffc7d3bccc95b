// FakeTelemetryModule: a telemetry module, registered while it lives, that
// records every sample and event. Its knobs withdraw an interface, choose the
// admission check's answer, fail records or make submissions throw.
// Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvatelemetry/orva_telemetry_api.h"
#include "orvatelemetry/orva_telemetry_record.h"
#include "tavlib/tav_message_queue.h"

namespace ovtest {

class FakeTelemetryModule {
 public:
  struct Latency {
    std::string label;
    orvaus::LatencySample sample;
    orvaus::TelemetryFieldList fields;
    int32_t process_kind = 0;
  };
  struct Event {
    orvaus::EventHeader header;
    orvaus::TelemetryFieldList fields;
  };
  struct Admission {
    std::string label;
    int64_t value = 0;
  };
  struct State {
    std::atomic<bool> offer_apm{true}, offer_telemetry{true}, fail_records{false},
        throw_on_submit{false};
    std::atomic<int32_t> admission{1};
    std::mutex mutex;
    std::vector<Latency> latencies;
    std::vector<Event> events;
    std::vector<Admission> admissions;
  };

  FakeTelemetryModule() {
    auto module = std::make_shared<Module>();
    state_ = module;
    TavMQ_GetService()->RegisterModule(module);
  }
  ~FakeTelemetryModule() { TavMQ_GetService()->UnregisterModule(orvaus::kTelemetryModuleId); }
  FakeTelemetryModule(const FakeTelemetryModule&) = delete;
  FakeTelemetryModule& operator=(const FakeTelemetryModule&) = delete;
  void OfferApm(bool offer) { state_->offer_apm = offer; }
  void OfferTelemetry(bool offer) { state_->offer_telemetry = offer; }
  void SetAdmission(int32_t answer) { state_->admission = answer; }
  void FailRecords(bool fail) { state_->fail_records = fail; }
  void ThrowOnSubmit(bool fail) { state_->throw_on_submit = fail; }
  std::vector<Latency> latencies() const { return Copy(&State::latencies); }
  std::vector<Event> events() const { return Copy(&State::events); }
  std::vector<Admission> admissions() const { return Copy(&State::admissions); }

 private:
  class Module final : public State,
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
  template <typename T>
  T Copy(T State::*member) const {
    std::lock_guard lock(state_->mutex);
    return (*state_).*member;
  }
  std::shared_ptr<State> state_;
};

}  // namespace ovtest
