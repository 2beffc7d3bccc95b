// Log lines of the task library layer, in the utility library's memory log
// under the layer's own module number.
#pragma once

#include <cstdint>
#include <string_view>

#include "orvatask/task_attribute.h"

namespace OrvaTask::internal {

inline constexpr int32_t kOrvaTaskLogModule = 1100;

// A task's function threw; the runner carries on with its next task.
void LogTaskFailure(const TaskAttribute& attribute, std::string_view runner, std::string_view what);

}  // namespace OrvaTask::internal
