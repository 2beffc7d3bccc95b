#include "orvatask/task_log.h"

#include <string>

#include "klbutil/memory_log.h"

namespace OrvaTask::internal {

void LogTaskFailure(const TaskAttribute& attribute, std::string_view runner,
                    std::string_view what) {
  std::string message = "OrvaTask: task threw - name=";
  message += attribute.name;
  message += ", runner=";
  message += runner;
  message += ", from=";
  message += attribute.location.file;
  message += ":";
  message += std::to_string(attribute.location.line);
  message += ", what=";
  message += what;
  klb::MemoryLog::Instance().Write(kOrvaTaskLogModule, klb::LogLevel::kError, "OVT_TASKTHR",
                                   message);
}

}  // namespace OrvaTask::internal
