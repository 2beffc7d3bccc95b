#include "klbutil/klb_time_zone.h"

#include <ctime>
#include <mutex>

namespace klb {
namespace {

std::mutex g_override_mutex;
std::optional<int32_t> g_override;

}  // namespace

int32_t local_utc_offset_seconds(int64_t utc_seconds) {
  {
    std::lock_guard<std::mutex> lock(g_override_mutex);
    if (g_override) return *g_override;
  }
  const std::time_t t = static_cast<std::time_t>(utc_seconds);
  std::tm local{};
#if defined(_WIN32)
  // No tm_gmtoff here: the offset is the local fields read back as UTC.
  if (localtime_s(&local, &t) != 0) return 0;
  const std::time_t local_as_utc = _mkgmtime(&local);
  if (local_as_utc == static_cast<std::time_t>(-1)) return 0;
  return static_cast<int32_t>(local_as_utc - t);
#else
  if (localtime_r(&t, &local) == nullptr) return 0;
  return static_cast<int32_t>(local.tm_gmtoff);
#endif
}

std::optional<int32_t> set_utc_offset_for_testing(std::optional<int32_t> offset_seconds) {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  std::optional<int32_t> previous = g_override;
  g_override = offset_seconds;
  return previous;
}

}  // namespace klb
