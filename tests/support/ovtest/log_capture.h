// Reads what the code under test wrote to the memory log. Construction
// clears the log, so a test sees only its own lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "klbutil/memory_log.h"

namespace ovtest {

class LogCapture {
 public:
  LogCapture();

  std::vector<klb::LogRecord> Records() const;
  // Whether some record's message contains `text` (at `level` when given).
  bool Contains(std::string_view text) const;
  bool Contains(std::string_view text, klb::LogLevel level) const;
  // All messages, one per line, for failure output.
  std::string Dump() const;
};

}  // namespace ovtest
