#include "OrvaProxy/ov_log.h"

namespace OVProxy {

void ovLog(LogLevel level, LogLabel label, std::string_view message) {
  klb::MemoryLog::Instance().Write(kOrvaProxyLogModule, level, label.text(), message);
}

}  // namespace OVProxy
