// Posting to the layer's sending runner (kDalIpcRunnerName), made on first
// use in the process's task manager.
//
// Thread: callable from any thread. False when there is no task manager (the
// process is shutting down) or the runner refused the work; the work did
// not run then.
#pragma once

#include <chrono>
#include <functional>

namespace ns_dal {

bool PostToDalRunner(const char* task_name, std::function<void()> work,
                     std::chrono::milliseconds delay = std::chrono::milliseconds(0));

}  // namespace ns_dal
