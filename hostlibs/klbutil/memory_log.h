// The utility library's memory log: a bounded ring of the most recent log
// records of every module in the process.
//
// Each record carries a module number, a level (2 information, 3 warning,
// 4 error), an 11-character label naming the log site, and the message.
// Records at or above the level named by the environment variable
// ORVAPROXY_LOG_LEVEL ("2"/"info", "3"/"warning", "4"/"error"; unset means
// nothing is mirrored) are also written to standard error, one line each.
//
// Thread-safety: every operation may be called from any thread.
// Lifetime: a process-wide object, destroyed at exit after every thread that
// logs has been joined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace klb {

enum class LogLevel : int32_t { kInfo = 2, kWarning = 3, kError = 4 };

struct LogRecord {
  int64_t time_100ns = 0;  // wall clock, 100-ns ticks since 1970
  int32_t module = 0;
  LogLevel level = LogLevel::kInfo;
  std::string label;
  std::string message;
};

class MemoryLog {
 public:
  static constexpr std::size_t kDefaultCapacity = 4096;

  static MemoryLog& Instance();

  void Write(int32_t module, LogLevel level, std::string_view label, std::string_view message);

  // Oldest first.
  std::vector<LogRecord> Snapshot() const;
  void Clear();
  // Keeps the newest records that fit.
  void SetCapacity(std::size_t capacity);
  // Overrides the level mirrored to standard error; 0 mirrors nothing.
  void SetStderrLevel(int32_t level);

 private:
  MemoryLog();

  mutable std::mutex mutex_;
  std::vector<LogRecord> ring_;
  std::size_t next_ = 0;  // slot the next record goes to once the ring is full
  std::size_t capacity_ = kDefaultCapacity;
  int32_t stderr_level_ = 0;
};

}  // namespace klb
