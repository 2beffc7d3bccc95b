// FakeTelemetryModule: a telemetry module registered with the message-queue
// service while it lives, recording every sample and event it receives. Its
// knobs withdraw an interface, choose the admission check's answer, fail
// record creation or make submissions throw. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvatelemetry/orva_telemetry_api.h"

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

  FakeTelemetryModule();
  ~FakeTelemetryModule();
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
  template <typename T>
  T Copy(T State::*member) const {
    std::lock_guard lock(state_->mutex);
    return (*state_).*member;
  }
  std::shared_ptr<State> state_;
};

}  // namespace ovtest
