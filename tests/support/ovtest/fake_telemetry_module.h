// FakeTelemetryModule: a telemetry module registered with the message-queue
// service while it lives, recording every sample and event it receives.
//
// Each interface can be withdrawn, the admission check's answer chosen and
// record creation made to fail, to exercise the reporter's missing links.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
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

  FakeTelemetryModule();
  ~FakeTelemetryModule();
  FakeTelemetryModule(const FakeTelemetryModule&) = delete;
  FakeTelemetryModule& operator=(const FakeTelemetryModule&) = delete;

  void OfferApm(bool offer);
  void OfferTelemetry(bool offer);
  void SetAdmission(int32_t answer);
  void FailRecords(bool fail);
  // Makes every submission throw, like a module in trouble.
  void ThrowOnSubmit(bool fail);

  std::vector<Latency> latencies() const;
  std::vector<Event> events() const;
  std::vector<Admission> admissions() const;
  std::vector<int32_t> record_kinds() const;

 private:
  class Module;
  std::shared_ptr<Module> module_;
};

}  // namespace ovtest
