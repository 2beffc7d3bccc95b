#include "orvatask/runner_core.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>

#include "klbutil/memory_log.h"
#include "orvatask/task_log.h"
#include "tavlib/tav_clock.h"
#include "tavlib/tav_no_destructor.h"

namespace OrvaTask::internal {
namespace {

std::atomic<uint64_t> g_next_serial{1};

// A thread finds its runner through the runner's serial instead of holding
// the runner itself: MinGW destroys a thread-local with a destructor after
// its emulated thread-local storage was already freed, which crashed Windows
// threads on exit that had merely asked which runner they serve.
thread_local uint64_t t_current_serial = 0;

struct BoundRunners {
  std::mutex mutex;
  std::unordered_map<uint64_t, std::weak_ptr<RunnerCore>> by_serial;
};

// Never destroyed: runner threads may still ask while the process exits.
BoundRunners& Bound() {
  static Tav::NoDestructor<BoundRunners> bound;
  return *bound;
}

}  // namespace

RunnerCore::RunnerCore(std::string name, RunnerId id, uint32_t value, const void* owner)
    : name_(std::move(name)),
      id_(id),
      value_(value),
      serial_(g_next_serial.fetch_add(1, std::memory_order_relaxed)),
      owner_(owner) {}

// A thread still bound to it (a host runner destroyed elsewhere) then finds
// no runner.
RunnerCore::~RunnerCore() {
  BoundRunners& bound = Bound();
  std::lock_guard lock(bound.mutex);
  bound.by_serial.erase(serial_);
}

bool RunnerCore::Enqueue(const TaskPtr& task, int64_t delay_ns) {
  {
    std::lock_guard lock(mutex_);
    if (stopped()) return false;
    if (!task->MarkQueued(serial_)) return false;
    if (delay_ns <= 0) {
      ready_.push_back(task);
    } else {
      delayed_.emplace(DelayedKey{Tav::TimeTicks::NowNs() + delay_ns, next_sequence_++}, task);
    }
  }
  wake_.notify_one();
  return true;
}

std::vector<TaskPtr> RunnerCore::Extract(const std::function<bool(const Task&)>& matches) {
  std::vector<TaskPtr> taken;
  std::lock_guard lock(mutex_);
  for (auto it = ready_.begin(); it != ready_.end();) {
    if (matches(**it)) {
      taken.push_back(std::move(*it));
      it = ready_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = delayed_.begin(); it != delayed_.end();) {
    if (matches(*it->second)) {
      taken.push_back(std::move(it->second));
      it = delayed_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

std::vector<TaskPtr> RunnerCore::Stop() {
  std::vector<TaskPtr> taken;
  {
    std::lock_guard lock(mutex_);
    if (stopped()) return taken;
    stopped_.store(true, std::memory_order_release);
    taken.assign(std::make_move_iterator(ready_.begin()), std::make_move_iterator(ready_.end()));
    ready_.clear();
    for (auto& [key, task] : delayed_) taken.push_back(std::move(task));
    delayed_.clear();
  }
  wake_.notify_all();
  return taken;
}

void RunnerCore::Wake() {
  // Taking the lock orders the wake after a loop that is about to wait.
  { std::lock_guard lock(mutex_); }
  wake_.notify_all();
}

int64_t RunnerCore::PromoteDueLocked(int64_t now_ns) {
  while (!delayed_.empty()) {
    auto first = delayed_.begin();
    if (first->first.due_ns > now_ns) return first->first.due_ns - now_ns;
    ready_.push_back(std::move(first->second));
    delayed_.erase(first);
  }
  return -1;
}

void RunnerCore::RunLoop() {
  BindCurrentThread(shared_from_this());
  std::unique_lock lock(mutex_);
  while (!stopped()) {
    const int64_t wait_ns = delayed_.empty() ? -1 : PromoteDueLocked(Tav::TimeTicks::NowNs());
    if (!ready_.empty()) {
      TaskPtr task = std::move(ready_.front());
      ready_.pop_front();
      lock.unlock();
      Run(task);
      task.reset();
      lock.lock();
      continue;
    }
    // With a test clock installed the real wait is only a fallback: the
    // clock's move wakes us through Wake().
    if (wait_ns < 0) {
      wake_.wait(lock);
    } else {
      wake_.wait_for(lock, std::chrono::nanoseconds(wait_ns));
    }
  }
  lock.unlock();
  UnbindCurrentThread(this);
  exited_.store(true, std::memory_order_release);
}

bool RunnerCore::RunOne() {
  TaskPtr task;
  {
    std::lock_guard lock(mutex_);
    if (stopped()) return false;
    if (!delayed_.empty()) PromoteDueLocked(Tav::TimeTicks::NowNs());
    if (ready_.empty()) return false;
    task = std::move(ready_.front());
    ready_.pop_front();
  }
  Run(task);
  return true;
}

void RunnerCore::Run(const TaskPtr& task) {
  std::function<void()> function = task->BeginRun();
  if (function) {
    try {
      function();
    } catch (const std::exception& error) {
      LogTaskFailure(task->attribute(), name_, error.what());
    } catch (...) {
      LogTaskFailure(task->attribute(), name_, "unknown exception");
    }
    // Captured state goes before waiters learn that the task is done.
    function = nullptr;
  }
  task->FinishRun();
}

std::shared_ptr<RunnerCore> CurrentRunner() {
  if (t_current_serial == 0) return nullptr;
  BoundRunners& bound = Bound();
  std::lock_guard lock(bound.mutex);
  const auto found = bound.by_serial.find(t_current_serial);
  return found != bound.by_serial.end() ? found->second.lock() : nullptr;
}

void BindCurrentThread(std::shared_ptr<RunnerCore> core) {
  BoundRunners& bound = Bound();
  std::lock_guard lock(bound.mutex);
  bound.by_serial[core->serial()] = core;
  t_current_serial = core->serial();
}

void UnbindCurrentThread(const RunnerCore* core) {
  if (t_current_serial != core->serial()) return;
  t_current_serial = 0;
  BoundRunners& bound = Bound();
  std::lock_guard lock(bound.mutex);
  bound.by_serial.erase(core->serial());
}

}  // namespace OrvaTask::internal
