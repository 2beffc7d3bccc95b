#include "ovtest/task_environment.h"

namespace ovtest {

TaskEnvironment::TaskEnvironment(std::string_view host_runner_name) {
  const bool host_main = host_runner_name == OrvaTask::kMainRunnerName;
  manager_ = std::make_unique<OrvaTask::OVTManager>(
      OrvaTask::OVTManager::Options{.host_main_runner = host_main});
  if (host_main) {
    host_runner_ = manager_->main_host_runner();
  } else if (!host_runner_name.empty()) {
    own_host_runner_ = manager_->CreateHostRunner(host_runner_name, 0);
    host_runner_ = own_host_runner_.get();
  }
  override_ = std::make_unique<OrvaTask::ScopedOVTManagerOverride>(manager_.get());
}

TaskEnvironment::~TaskEnvironment() {
  own_host_runner_.reset();
  manager_->Shutdown();
  override_.reset();
  manager_.reset();
}

std::size_t TaskEnvironment::RunUntilIdle() {
  return host_runner_ ? host_runner_->RunUntilIdle() : 0;
}

bool TaskEnvironment::Flush(std::string_view runner) {
  auto marker = OrvaTask::CreateOrvaTask({.name = "TaskEnvironment_Flush"}, [] {});
  return manager_->PostTask(runner, marker) && manager_->WaitForTask(marker);
}

}  // namespace ovtest
