// FeatureValue: the typed value of a feature switch in one source. Only the
// field matching `type` is meaningful; type None means the source has no
// value (and a getter then answers its caller's default).
//
// A plain value; thread-safety as for any value type.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace OVProxy {

struct FeatureValue {
  enum class Type : int32_t { Bool = 0, Int = 1, String = 2, None = 3 };

  Type type = Type::None;
  bool bool_value = false;
  int32_t int_value = 0;
  std::string string_value;

  static FeatureValue FromBool(bool value) {
    FeatureValue v;
    v.type = Type::Bool;
    v.bool_value = value;
    return v;
  }
  static FeatureValue FromInt(int32_t value) {
    FeatureValue v;
    v.type = Type::Int;
    v.int_value = value;
    return v;
  }
  static FeatureValue FromString(std::string value) {
    FeatureValue v;
    v.type = Type::String;
    v.string_value = std::move(value);
    return v;
  }

  bool is_none() const { return type == Type::None; }

  // Same type and the same meaningful field (strings byte-wise); all None
  // values are equal.
  bool operator==(const FeatureValue& other) const {
    if (type != other.type) return false;
    switch (type) {
      case Type::Bool:
        return bool_value == other.bool_value;
      case Type::Int:
        return int_value == other.int_value;
      case Type::String:
        return string_value == other.string_value;
      case Type::None:
        return true;
    }
    return false;
  }
  bool operator!=(const FeatureValue& other) const { return !(*this == other); }
};

}  // namespace OVProxy
