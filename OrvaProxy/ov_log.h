// The module's logging: every line goes to the memory log with module number
// 1001, a level and the fixed 11-character label of its log site. The label
// length is checked at compile time.
//
// Thread-safety: callable from any thread.
#pragma once

#include <cstddef>
#include <string_view>

#include "klbutil/memory_log.h"

namespace OVProxy {

inline constexpr int32_t kOrvaProxyLogModule = 1001;

using klb::LogLevel;

class LogLabel {
 public:
  // Implicit on purpose: log sites write the label as a plain literal. The
  // array size is 11 characters and the terminator.
  template <std::size_t N>
  // NOLINTNEXTLINE(google-explicit-constructor)
  consteval LogLabel(const char (&text)[N]) : text_(text, N - 1) {
    static_assert(N == 12, "a log label is exactly 11 characters");
  }

  std::string_view text() const { return text_; }

 private:
  std::string_view text_;
};

void ovLog(LogLevel level, LogLabel label, std::string_view message);

}  // namespace OVProxy
