// Names and grouping values that several components must agree on: the
// runners work is posted to, and the task-attribute values that group a
// component's posted tasks for cancellation. Defined here once.
#pragma once

#include <cstdint>

namespace OVProxy {

// The resolve service's runner: all resolution state lives on it.
inline constexpr const char kResolveRunnerName[] = "proxy_resolve_runner_name";
// The PAC file decider's runner (blocking PAC URL discovery).
inline constexpr const char kPacDeciderRunnerName[] = "pac_decider_task_runner";
// Runner that stands in when the current thread has no runner name.
inline constexpr const char kMainThreadRunnerName[] = "main.thread.runner";

// Grouping value of the tasks posted by the resolution service, its tasks,
// resolvers and executors.
inline constexpr uint32_t kResolveTaskGroup = 62;
// Grouping value of the tasks posted by the PAC file decider and downloader.
inline constexpr uint32_t kPacDeciderTaskGroup = 61;

}  // namespace OVProxy
