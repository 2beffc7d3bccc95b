// The attribute every posted task carries: what it is (name and the source
// location that created it), how it is grouped for cancellation (a 32-bit
// value and a set of unique keys) and when it may run (a delay in ms).
//
// The value groups the work of one subsystem (the PAC decider uses 61, the
// resolution service 62); the manager can drop all queued work of a value.
// The flag is carried for the host and has no meaning to this layer.
//
// Build one with designated initializers:
//   TaskAttribute{.name = "ProxyTimeoutCheckTask",
//                 .location = OrvaTask::SourceLocation::Current(),
//                 .value = 62, .delay_ms = 1000, .unique_keys = {key}}
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "orvatask/ovt_types.h"

namespace OrvaTask {

using UniqueKeySet = std::vector<UniqueKey>;

// Where a task was made. Current() captures its caller's file and line (the
// compiler built-ins work with every compiler the project uses, unlike
// std::source_location).
struct SourceLocation {
  const char* file = "";
  uint32_t line = 0;

  static constexpr SourceLocation Current(const char* file = __builtin_FILE(),
                                          uint32_t line = __builtin_LINE()) {
    return SourceLocation{file, line};
  }
};

struct TaskAttribute {
  std::string name;
  SourceLocation location;
  uint32_t value = 0;
  uint32_t delay_ms = 0;
  bool flag = false;
  UniqueKeySet unique_keys;

  bool HasUniqueKey(const UniqueKey& key) const;
};

}  // namespace OrvaTask
