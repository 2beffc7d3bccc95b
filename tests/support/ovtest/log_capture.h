// Reads what the code under test wrote to the memory log. Construction
// clears the log, so a test sees only its own lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "klbutil/memory_log.h"

namespace ovtest {

class LogCapture {
 public:
  LogCapture() { klb::MemoryLog::Instance().Clear(); }

  std::vector<klb::LogRecord> Records() const { return klb::MemoryLog::Instance().Snapshot(); }
  // Whether some record's message contains `text` (at `level` when given).
  bool Contains(std::string_view text, std::optional<klb::LogLevel> level = {}) const {
    for (const klb::LogRecord& record : Records()) {
      if ((!level || record.level == *level) && record.message.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  // All messages, one per line, for failure output.
  std::string Dump() const {
    std::string out;
    for (const klb::LogRecord& r : Records()) {
      out += "[" + std::to_string(static_cast<int>(r.level)) + "][" + r.label + "] " + r.message +
             "\n";
    }
    return out;
  }
};

}  // namespace ovtest
