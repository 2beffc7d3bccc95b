#include "klbutil/memory_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tavlib/tav_clock.h"

namespace klb {
namespace {

int32_t LevelFromEnvironment() {
  const char* text = std::getenv("ORVAPROXY_LOG_LEVEL");
  if (text == nullptr || *text == '\0') return 0;
  if (std::strcmp(text, "info") == 0) return 2;
  if (std::strcmp(text, "warning") == 0) return 3;
  if (std::strcmp(text, "error") == 0) return 4;
  const int value = std::atoi(text);
  return (value >= 2 && value <= 4) ? value : 0;
}

}  // namespace

MemoryLog& MemoryLog::Instance() {
  static MemoryLog instance;
  return instance;
}

MemoryLog::MemoryLog() : stderr_level_(LevelFromEnvironment()) {}

void MemoryLog::Write(int32_t module, LogLevel level, std::string_view label,
                      std::string_view message) {
  LogRecord record{Tav::SystemTimeNow100ns(), module, level, std::string(label),
                   std::string(message)};
  std::lock_guard<std::mutex> lock(mutex_);
  if (stderr_level_ > 0 && static_cast<int32_t>(level) >= stderr_level_) {
    std::fprintf(stderr, "[%d][%d][%.*s] %.*s\n", module, static_cast<int>(level),
                 static_cast<int>(label.size()), label.data(), static_cast<int>(message.size()),
                 message.data());
  }
  if (capacity_ == 0) return;
  if (ring_.size() < capacity_) {
    ring_.push_back(std::move(record));
  } else {
    ring_[next_] = std::move(record);
    next_ = (next_ + 1) % capacity_;
  }
}

std::vector<LogRecord> MemoryLog::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LogRecord> out;
  out.reserve(ring_.size());
  for (std::size_t i = 0; i < ring_.size(); ++i) out.push_back(ring_[(next_ + i) % ring_.size()]);
  return out;
}

void MemoryLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  ring_.clear();
  next_ = 0;
}

void MemoryLog::SetCapacity(std::size_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LogRecord> ordered;
  ordered.reserve(ring_.size());
  for (std::size_t i = 0; i < ring_.size(); ++i) {
    ordered.push_back(std::move(ring_[(next_ + i) % ring_.size()]));
  }
  if (ordered.size() > capacity) {
    ordered.erase(ordered.begin(), ordered.end() - static_cast<std::ptrdiff_t>(capacity));
  }
  ring_ = std::move(ordered);
  next_ = 0;
  capacity_ = capacity;
}

void MemoryLog::SetStderrLevel(int32_t level) {
  std::lock_guard<std::mutex> lock(mutex_);
  stderr_level_ = level;
}

}  // namespace klb
