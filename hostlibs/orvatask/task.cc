#include "orvatask/task.h"

#include <algorithm>
#include <utility>

namespace OrvaTask {

bool TaskAttribute::HasUniqueKey(const UniqueKey& key) const {
  return std::find(unique_keys.begin(), unique_keys.end(), key) != unique_keys.end();
}

Task::Task(TaskAttribute attribute, std::function<void()> function)
    : attribute_(std::move(attribute)), function_(std::move(function)) {}

TaskState Task::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool Task::IsFinished() const {
  const TaskState state = this->state();
  return state == TaskState::kCompleted || state == TaskState::kDropped;
}

bool Task::MarkQueued(uint64_t runner_serial) {
  std::lock_guard lock(mutex_);
  if (state_ != TaskState::kCreated) return false;
  state_ = TaskState::kQueued;
  runner_serial_ = runner_serial;
  return true;
}

std::function<void()> Task::BeginRun() {
  std::lock_guard lock(mutex_);
  if (state_ != TaskState::kQueued) return nullptr;
  state_ = TaskState::kRunning;
  return std::move(function_);
}

void Task::FinishRun() {
  {
    std::lock_guard lock(mutex_);
    state_ = TaskState::kCompleted;
  }
  finished_.notify_all();
}

void Task::Drop() {
  std::function<void()> released;
  {
    std::lock_guard lock(mutex_);
    if (state_ != TaskState::kQueued) return;
    released = std::move(function_);
  }
  // Captured state is destroyed outside the lock (its destructors may post).
  released = nullptr;
  {
    std::lock_guard lock(mutex_);
    state_ = TaskState::kDropped;
  }
  finished_.notify_all();
}

bool Task::Wait(uint64_t current_runner_serial) {
  std::unique_lock lock(mutex_);
  if (state_ == TaskState::kCreated) return false;
  if (state_ != TaskState::kCompleted && state_ != TaskState::kDropped &&
      current_runner_serial != 0 && current_runner_serial == runner_serial_) {
    return false;
  }
  finished_.wait(
      lock, [this] { return state_ == TaskState::kCompleted || state_ == TaskState::kDropped; });
  return state_ == TaskState::kCompleted;
}

TaskPtr CreateOrvaTask(TaskAttribute attribute, std::function<void()> function) {
  return std::make_shared<Task>(std::move(attribute), std::move(function));
}

}  // namespace OrvaTask
