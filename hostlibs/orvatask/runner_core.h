// RunnerCore: the queue of one runner and the loop that serves it. Internal
// to the task library; hosts see runners only through the manager (by name
// or id) and HostRunner.
//
// Work runs in posting order. Delayed work waits in a second queue ordered
// by due time (then posting order) and joins the end of the ready queue once
// the clock (Tav::TimeTicks::NowNs, replaceable by a test clock) says it is
// due. A thread runner's loop sleeps until work is posted, the next delayed
// task is due, the clock changes (Wake) or the runner stops.
//
// Stop refuses further work and hands back everything queued, never run;
// work already running finishes on its thread.
//
// Thread-safety: every member may be called from any thread, except
// RunLoop (the runner's own thread) and RunOne (the thread it is bound to).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "orvatask/ovt_types.h"
#include "orvatask/task.h"

namespace OrvaTask::internal {

class RunnerCore : public std::enable_shared_from_this<RunnerCore> {
 public:
  RunnerCore(std::string name, RunnerId id, uint32_t value, const void* owner);
  ~RunnerCore();
  RunnerCore(const RunnerCore&) = delete;
  RunnerCore& operator=(const RunnerCore&) = delete;

  const std::string& name() const { return name_; }
  RunnerId id() const { return id_; }
  uint32_t value() const { return value_; }
  // Never reused in the process, unlike ids and names.
  uint64_t serial() const { return serial_; }
  // The manager that created it.
  const void* owner() const { return owner_; }

  // Queues `task` to run no earlier than `delay_ns` from now. False when the
  // runner has stopped or the task was posted before.
  bool Enqueue(const TaskPtr& task, int64_t delay_ns);

  // Takes the queued (not running) tasks that match out of the queues. The
  // caller drops them, outside any lock.
  std::vector<TaskPtr> Extract(const std::function<bool(const Task&)>& matches);

  // Refuses further work, wakes the loop so that it ends, and hands back
  // everything queued. Later calls hand back nothing.
  std::vector<TaskPtr> Stop();
  bool stopped() const { return stopped_.load(std::memory_order_acquire); }

  // The clock changed: look at the delayed work again.
  void Wake();

  // Serves the runner on the calling thread until Stop.
  void RunLoop();
  bool exited() const { return exited_.load(std::memory_order_acquire); }

  // Runs the next ready (or due) task, if any, on the calling thread.
  bool RunOne();

 private:
  struct DelayedKey {
    int64_t due_ns;
    uint64_t sequence;
    bool operator<(const DelayedKey& other) const {
      return due_ns != other.due_ns ? due_ns < other.due_ns : sequence < other.sequence;
    }
  };

  // Moves due delayed tasks to the ready queue. Answers the nanoseconds until
  // the next delayed task is due, or -1 when none waits.
  int64_t PromoteDueLocked(int64_t now_ns);
  void Run(const TaskPtr& task);

  const std::string name_;
  const RunnerId id_;
  const uint32_t value_;
  const uint64_t serial_;
  const void* const owner_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<TaskPtr> ready_;
  std::map<DelayedKey, TaskPtr> delayed_;
  uint64_t next_sequence_ = 0;
  std::atomic<bool> stopped_{false};
  std::atomic<bool> exited_{false};
};

// The runner the calling thread serves, or null. A thread serves at most one
// runner: its own thread's, or a host runner bound to it.
std::shared_ptr<RunnerCore> CurrentRunner();
void BindCurrentThread(std::shared_ptr<RunnerCore> core);
void UnbindCurrentThread(const RunnerCore* core);

}  // namespace OrvaTask::internal
