// orvaus::FieldRecord: an event record that keeps its fields as named
// integers in the order they were first set ("result_kind", "source",
// "config_kind", "bypass", "code", "value"). What a telemetry module hands
// out from CreateRecord when it has no richer schema.
//
// Thread-safety: none; a record is filled by one thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "orvatelemetry/orva_telemetry_api.h"

namespace orvaus {

class FieldRecord final : public iOrvaTelemetryRecord {
 public:
  explicit FieldRecord(int32_t kind) : kind_(kind) {}

  int32_t GetKind() const override { return kind_; }
  void SetResultKind(int32_t value) override { Set("result_kind", value); }
  void SetSource(int32_t value) override { Set("source", value); }
  void SetConfigKind(int32_t value) override { Set("config_kind", value); }
  void SetBypass(bool value) override { Set("bypass", value ? 1 : 0); }
  void SetCode(int32_t value) override { Set("code", value); }
  void SetValue(int64_t value) override { Set("value", value); }
  TelemetryFieldList Serialize() const override { return fields_; }

 private:
  void Set(const char* name, int64_t value) {
    auto it = std::find_if(fields_.begin(), fields_.end(),
                           [name](const TelemetryField& field) { return field.name == name; });
    if (it != fields_.end()) {
      it->value = value;
    } else {
      fields_.push_back({name, value});
    }
  }

  int32_t kind_;
  TelemetryFieldList fields_;
};

}  // namespace orvaus
