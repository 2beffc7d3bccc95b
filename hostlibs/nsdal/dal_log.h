// Log lines of the data-access layer: the memory log of the utility library,
// with the business library's module number and an 11-character label.
#pragma once

#include <cstdint>
#include <string_view>

#include "klbutil/memory_log.h"

namespace ns_dal {

inline constexpr int32_t kDalLogModule = 0;

template <std::size_t N>
inline void DalLog(klb::LogLevel level, const char (&label)[N], std::string_view message) {
  static_assert(N == 12, "a log label is exactly 11 characters");
  klb::MemoryLog::Instance().Write(kDalLogModule, level, std::string_view(label, N - 1), message);
}

}  // namespace ns_dal
