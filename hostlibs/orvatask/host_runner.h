// HostRunner: a runner served by a thread the host already has (a UI or test
// thread) instead of a thread of its own. The host calls RunNextTask or
// RunUntilIdle on that thread whenever it likes; between those calls posted
// work simply waits, so a test decides exactly when work runs.
//
// The runner is bound to the thread that created it: that thread reports
// the runner's name from GetRunnerNameOfCurrentThread and is the only one
// that may run its work. Destroying the handle removes the runner and drops
// its queued work.
//
// Thread-safety: id and name anywhere; the Run calls on the bound thread only
// (they do nothing elsewhere).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "orvatask/ovt_types.h"

namespace OrvaTask {

namespace internal {
class RunnerCore;
}  // namespace internal

class HostRunner {
 public:
  explicit HostRunner(std::shared_ptr<internal::RunnerCore> core);
  ~HostRunner();
  HostRunner(const HostRunner&) = delete;
  HostRunner& operator=(const HostRunner&) = delete;

  RunnerId id() const;
  const std::string& name() const;

  // Runs the next ready or due task; false when there was none.
  bool RunNextTask();
  // Runs tasks, including those they post, until none is ready or due.
  // Answers how many ran.
  std::size_t RunUntilIdle();

 private:
  bool OnBoundThread() const { return std::this_thread::get_id() == thread_; }

  std::shared_ptr<internal::RunnerCore> core_;
  std::thread::id thread_;
};

}  // namespace OrvaTask
