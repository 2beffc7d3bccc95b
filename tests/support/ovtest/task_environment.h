// TaskEnvironment: a task manager of the test's own, installed as the
// process's manager (GetOVTManager) for the test's life.
//
// By default the test thread serves "main.thread.runner" as a host runner:
// work posted there waits until the test calls RunUntilIdle, so a test
// decides exactly when it runs and sees it run on its own thread. Another
// name makes the test thread serve that runner instead (the main runner then
// gets a thread of the manager); an empty name gives the test thread none.
//
// Destruction shuts the manager down (queued work dropped, every runner
// thread joined) before uninstalling it. Declare a ManualClock before the
// environment, so that runner threads stop before the clock goes away.
//
// Thread-safety: construct, pump and destroy on the test thread; the manager
// itself may be used from any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "orvatask/host_runner.h"
#include "orvatask/ovt_manager.h"
#include "orvatask/ovt_task_manager.h"

namespace ovtest {

class TaskEnvironment {
 public:
  explicit TaskEnvironment(std::string_view host_runner_name = OrvaTask::kMainRunnerName);
  ~TaskEnvironment();
  TaskEnvironment(const TaskEnvironment&) = delete;
  TaskEnvironment& operator=(const TaskEnvironment&) = delete;

  OrvaTask::OVTManager& manager() { return *manager_; }
  // The runner the test thread serves; null when it serves none.
  OrvaTask::HostRunner* host_runner() { return host_runner_; }

  // Runs the test thread's runner until nothing is ready or due.
  std::size_t RunUntilIdle();
  // Blocks until everything posted to the thread runner `runner` before this
  // call has run or been dropped. False when the runner refuses work.
  bool Flush(std::string_view runner);

 private:
  std::unique_ptr<OrvaTask::OVTManager> manager_;
  std::unique_ptr<OrvaTask::HostRunner> own_host_runner_;
  OrvaTask::HostRunner* host_runner_ = nullptr;
  std::unique_ptr<OrvaTask::ScopedOVTManagerOverride> override_;
};

}  // namespace ovtest
