#include "nsdal/dal_runner.h"

#include <utility>

#include "nsdal/dal_bus.h"
#include "orvatask/orva_task.h"

namespace ns_dal {

bool PostToDalRunner(const char* task_name, std::function<void()> work,
                     std::chrono::milliseconds delay) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager == nullptr) return false;
  // Answers the existing runner's id once it was made; a test's own manager
  // gets a runner of its own.
  const OrvaTask::RunnerId runner = manager->CreateRunner(kDalIpcRunnerName, 0);
  if (runner == OrvaTask::kInvalidRunnerId) return false;
  auto task = OrvaTask::CreateOrvaTask(
      OrvaTask::TaskAttribute{.name = task_name,
                              .location = OrvaTask::SourceLocation::Current(),
                              .delay_ms = static_cast<uint32_t>(delay.count())},
      std::move(work));
  return manager->PostTask(runner, task);
}

}  // namespace ns_dal
