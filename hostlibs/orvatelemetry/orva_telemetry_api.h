// The interfaces of the client's telemetry module.
//
// The module registers with the message-queue service under
// kTelemetryModuleId and answers two interface lookups: kAPMInterfaceName
// (iOrvaAPMAPI: latency samples and event submission) and
// kTelemetryInterfaceName (iOrvatelemetryAPI: event records). The pointers
// it answers are of exactly these types, cast to void*.
//
// Thread-safety: the module accepts calls from any thread.
// Lifetime: interface pointers are valid while the caller holds the module's
// client (see tavlib/tav_message_queue.h); records belong to their caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvaus {

inline constexpr const char* kTelemetryModuleId = "com.Kelbrin.module.OrvaTelemetry";
inline constexpr const char* kAPMInterfaceName = "orvaus.class.iOrvaAPMAPI";
inline constexpr const char* kTelemetryInterfaceName = "orvaus.class.iOrvatelemetryAPI";

// One serialised field of a record.
struct TelemetryField {
  std::string name;
  int64_t value = 0;
  bool operator==(const TelemetryField&) const = default;
};
using TelemetryFieldList = std::vector<TelemetryField>;

// A latency sample of one metric, with the histogram bounds it falls into.
struct LatencySample {
  int64_t value_ms = 0;
  std::vector<int64_t> bucket_bounds;
  std::vector<int64_t> extra_bounds;
  int32_t product = 0;
  int32_t category = 0;
  int32_t priority = 0;
  int32_t metric_id = 0;
};

// The header an event travels with.
struct EventHeader {
  int32_t version = 0;
  int32_t event_id = 0;
  int64_t reserved64 = 0;
  int32_t priority = 0;
  int32_t product = 0;
  int32_t reserved32 = 0;
};

// An event record of one kind, filled through its setters. Setting a field
// again replaces its value.
class iOrvaTelemetryRecord {
 public:
  virtual ~iOrvaTelemetryRecord() = default;
  virtual int32_t GetKind() const = 0;
  virtual void SetResultKind(int32_t value) = 0;
  virtual void SetSource(int32_t value) = 0;
  virtual void SetConfigKind(int32_t value) = 0;
  virtual void SetBypass(bool value) = 0;
  virtual void SetCode(int32_t value) = 0;
  virtual void SetValue(int64_t value) = 0;
  // The fields set so far, in the order they were first set.
  virtual TelemetryFieldList Serialize() const = 0;
};

class iOrvaAPMAPI {
 public:
  virtual ~iOrvaAPMAPI() = default;
  // Whether a sample labelled `label` with `value` is wanted; 0 drops it.
  virtual int32_t ShouldSample(const std::string& label, int64_t value) = 0;
  virtual void AddLatencySample(const std::string& label, const LatencySample& sample,
                                const TelemetryFieldList& fields, int32_t processKind) = 0;
  virtual void SubmitEvent(const EventHeader& header, const TelemetryFieldList& fields) = 0;
};

class iOrvatelemetryAPI {
 public:
  virtual ~iOrvatelemetryAPI() = default;
  // A new, empty record of `kind`; null when the kind is unknown.
  virtual std::unique_ptr<iOrvaTelemetryRecord> CreateRecord(int32_t kind) = 0;
};

}  // namespace orvaus
