// Small vocabulary of the task library layer: runner ids, the host's main
// runner name and unique keys.
//
// A unique key names a group of posted work so that it can be dropped
// together (GenerateUniqueKey("pac_decider_downloading_monitor"), or one key
// per request id). Equal names give equal keys; keys keep their name, so two
// different names never match by accident.
//
// Thread-safety: values; GenerateUniqueKey may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace OrvaTask {

using RunnerId = uint16_t;
inline constexpr RunnerId kInvalidRunnerId = 65535;

// The host's main runner. It exists whenever a manager does.
inline constexpr const char* kMainRunnerName = "main.thread.runner";

class UniqueKey {
 public:
  UniqueKey() = default;
  explicit UniqueKey(std::string_view name);

  const std::string& name() const { return name_; }
  std::size_t hash() const { return hash_; }

  bool operator==(const UniqueKey& other) const {
    return hash_ == other.hash_ && name_ == other.name_;
  }

 private:
  std::string name_;
  std::size_t hash_ = 0;
};

UniqueKey GenerateUniqueKey(std::string_view name);

}  // namespace OrvaTask
