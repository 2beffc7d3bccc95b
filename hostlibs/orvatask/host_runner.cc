#include "orvatask/host_runner.h"

#include <utility>

#include "orvatask/runner_core.h"

namespace OrvaTask {

HostRunner::HostRunner(std::shared_ptr<internal::RunnerCore> core)
    : core_(std::move(core)), thread_(std::this_thread::get_id()) {}

HostRunner::~HostRunner() {
  for (const TaskPtr& task : core_->Stop()) task->Drop();
  if (OnBoundThread()) internal::UnbindCurrentThread(core_.get());
}

RunnerId HostRunner::id() const {
  return core_->id();
}

const std::string& HostRunner::name() const {
  return core_->name();
}

bool HostRunner::RunNextTask() {
  return OnBoundThread() && core_->RunOne();
}

std::size_t HostRunner::RunUntilIdle() {
  std::size_t count = 0;
  while (RunNextTask()) ++count;
  return count;
}

}  // namespace OrvaTask
