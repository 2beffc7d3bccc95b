#include "ovtest/log_capture.h"

namespace ovtest {

LogCapture::LogCapture() {
  klb::MemoryLog::Instance().Clear();
}

std::vector<klb::LogRecord> LogCapture::Records() const {
  return klb::MemoryLog::Instance().Snapshot();
}

bool LogCapture::Contains(std::string_view text) const {
  for (const klb::LogRecord& record : Records()) {
    if (record.message.find(text) != std::string::npos) return true;
  }
  return false;
}

bool LogCapture::Contains(std::string_view text, klb::LogLevel level) const {
  for (const klb::LogRecord& record : Records()) {
    if (record.level == level && record.message.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string LogCapture::Dump() const {
  std::string out;
  for (const klb::LogRecord& record : Records()) {
    out += "[" + std::to_string(static_cast<int>(record.level)) + "][" + record.label + "] " +
           record.message + "\n";
  }
  return out;
}

}  // namespace ovtest
