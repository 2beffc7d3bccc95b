// IOVTManager: the operations of the task library's manager that the module
// uses, and how to reach the process's manager.
//
// Guarantees callers rely on:
//  - A runner is served by one thread; work posted to it runs there in
//    posting order, never inside the call that posted it.
//  - Delayed work runs no earlier than its delay, measured on the
//    replaceable clock of the common library (Tav::TimeTicks).
//  - Dropping by value or unique key removes work that has not started; work
//    already running finishes. Dropped work never runs.
//  - A refused post (unknown or removed runner, manager shut down, task
//    already posted) leaves the task unrun; the poster decides what to do.
//  - Removing a runner drops its queued work and does not wait for the task
//    it is running; it may be called from the runner's own thread.
//  - WaitForTask returns once the task ran or was dropped, and at once for a
//    task that was never accepted or that waits on the caller's own runner.
//  - The runner kMainRunnerName ("main.thread.runner") exists as long as the
//    manager does and cannot be removed.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "orvatask/ovt_types.h"
#include "orvatask/task.h"

namespace OrvaTask {

class IOVTManager {
 public:
  virtual ~IOVTManager() = default;

  // Creates a runner served by a thread of its own. A name already in use
  // answers that runner's id. kInvalidRunnerId when the name is empty, the
  // manager is shut down or no id or thread is left.
  virtual RunnerId CreateRunner(std::string_view name, uint32_t value) = 0;
  // kInvalidRunnerId when no such runner exists.
  virtual RunnerId GetRunnerId(std::string_view name) = 0;
  // False when there was no such runner (or it is the main runner).
  virtual bool RemoveRunner(std::string_view name) = 0;
  virtual bool RemoveRunner(RunnerId id) = 0;

  // Whether the task was accepted. The delay of the task's attribute applies.
  virtual bool PostTask(std::string_view runner, const TaskPtr& task) = 0;
  virtual bool PostTask(RunnerId runner, const TaskPtr& task) = 0;
  // The same with `delay` in place of the attribute's delay.
  virtual bool PostDelayedTask(std::string_view runner, const TaskPtr& task,
                               std::chrono::milliseconds delay) = 0;
  virtual bool PostDelayedTask(RunnerId runner, const TaskPtr& task,
                               std::chrono::milliseconds delay) = 0;

  // Drop queued work whose attribute carries `value` / `key`, on every
  // runner. Answer how many tasks were dropped.
  virtual std::size_t CancelTasksByValue(uint32_t value) = 0;
  virtual std::size_t CancelTasksByUniqueKey(const UniqueKey& key) = 0;

  // Blocks without time limit until `task` ran (true) or was dropped
  // (false); see the guarantees above for the cases answered at once.
  virtual bool WaitForTask(const TaskPtr& task) = 0;
};

// The process's manager, created on first use; null once it was shut down,
// or whatever a ScopedOVTManagerOverride installed.
IOVTManager* GetOVTManager();

// Stops the process's manager: drops all queued work, joins every runner
// thread and makes GetOVTManager answer null from then on. Hosts call it
// before exit; it also happens at exit. Must not be called from a task.
void ShutdownOVTManager();

// The name of the runner the calling thread serves; empty on any other thread.
std::string GetRunnerNameOfCurrentThread();

// Makes GetOVTManager answer `manager` (which may be null) while it lives.
// For tests; overrides nest and must be destroyed in reverse order.
class ScopedOVTManagerOverride {
 public:
  explicit ScopedOVTManagerOverride(IOVTManager* manager);
  ~ScopedOVTManagerOverride();
  ScopedOVTManagerOverride(const ScopedOVTManagerOverride&) = delete;
  ScopedOVTManagerOverride& operator=(const ScopedOVTManagerOverride&) = delete;

 private:
  uintptr_t previous_;
};

}  // namespace OrvaTask
