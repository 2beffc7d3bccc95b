// TaskEnvironment: the process's task manager for the test's life. The test
// thread serves the named runner (the main runner by default; none for "")
// and runs its work only in RunUntilIdle; other runners get threads.
// Destruction drops queued work and joins the threads. Construct, pump and
// destroy on the test thread; the manager may be used from any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "orvatask/host_runner.h"
#include "orvatask/ovt_manager.h"
#include "orvatask/ovt_task_manager.h"

namespace ovtest {

class TaskEnvironment {
 public:
  explicit TaskEnvironment(std::string_view host_runner_name = OrvaTask::kMainRunnerName)
      : manager_(std::make_unique<OrvaTask::OVTManager>(OrvaTask::OVTManager::Options{
            .host_main_runner = host_runner_name == OrvaTask::kMainRunnerName})) {
    if (host_runner_name == OrvaTask::kMainRunnerName) {
      host_runner_ = manager_->main_host_runner();
    } else if (!host_runner_name.empty()) {
      own_host_runner_ = manager_->CreateHostRunner(host_runner_name, 0);
      host_runner_ = own_host_runner_.get();
    }
    override_ = std::make_unique<OrvaTask::ScopedOVTManagerOverride>(manager_.get());
  }
  ~TaskEnvironment() {
    own_host_runner_.reset();
    manager_->Shutdown();
    override_.reset();
  }
  TaskEnvironment(const TaskEnvironment&) = delete;
  TaskEnvironment& operator=(const TaskEnvironment&) = delete;

  OrvaTask::OVTManager& manager() { return *manager_; }
  // Runs the test thread's runner until nothing is ready or due.
  std::size_t RunUntilIdle() { return host_runner_ ? host_runner_->RunUntilIdle() : 0; }
  // Blocks until everything posted to the thread runner `runner` before this
  // call has run or been dropped. False when the runner refuses work.
  bool Flush(std::string_view runner) {
    auto marker = OrvaTask::CreateOrvaTask({.name = "TaskEnvironment_Flush"}, [] {});
    return manager_->PostTask(runner, marker) && manager_->WaitForTask(marker);
  }

 private:
  std::unique_ptr<OrvaTask::OVTManager> manager_;
  std::unique_ptr<OrvaTask::HostRunner> own_host_runner_;
  OrvaTask::HostRunner* host_runner_ = nullptr;
  std::unique_ptr<OrvaTask::ScopedOVTManagerOverride> override_;
};

}  // namespace ovtest
