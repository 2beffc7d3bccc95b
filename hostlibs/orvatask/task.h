// Task: one piece of work for a runner, made by CreateOrvaTask from an
// attribute and a function. The function runs at most once.
//
// Life of a task: created -> queued (accepted by a post) -> running ->
// completed; or queued -> dropped (cancelled by value or unique key, its
// runner removed, the manager shut down). A task can be posted once; a
// refused post leaves it created and unrun, and the poster decides what to do.
// The function and everything it captured are released on the runner's
// thread right after it ran, or on the dropping thread when it is dropped,
// before waiters are woken.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "orvatask/task_attribute.h"

namespace OrvaTask {

namespace internal {
class RunnerCore;
}  // namespace internal

enum class TaskState : int32_t { kCreated, kQueued, kRunning, kCompleted, kDropped };

class HostRunner;
class OVTManager;

class Task {
 public:
  Task(TaskAttribute attribute, std::function<void()> function);
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  const TaskAttribute& attribute() const { return attribute_; }
  TaskState state() const;
  // Completed or dropped.
  bool IsFinished() const;

 private:
  friend class internal::RunnerCore;
  friend class OVTManager;
  friend class HostRunner;

  // created -> queued on the runner `runner_serial`; false in any other state.
  bool MarkQueued(uint64_t runner_serial);
  // queued -> running; hands out the function.
  std::function<void()> BeginRun();
  // running -> completed.
  void FinishRun();
  // queued -> dropped; releases the function.
  void Drop();
  // Blocks until the task is finished; true when it ran. Answers false at
  // once when it was never accepted, or when the caller's thread serves the
  // runner it is queued on (`current_runner_serial`), which could never run it.
  bool Wait(uint64_t current_runner_serial);

  const TaskAttribute attribute_;
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  TaskState state_ = TaskState::kCreated;
  std::function<void()> function_;
  uint64_t runner_serial_ = 0;
};

using TaskPtr = std::shared_ptr<Task>;

// A shared task that runs `function` once. An empty function is allowed and
// runs as nothing.
TaskPtr CreateOrvaTask(TaskAttribute attribute, std::function<void()> function);

}  // namespace OrvaTask
