#include "tavlib/tav_clock.h"

#include <atomic>
#include <chrono>

namespace Tav {
namespace {

std::atomic<IClock*> g_test_clock{nullptr};

}  // namespace

IClock* SetClockForTesting(IClock* clock) {
  return g_test_clock.exchange(clock);
}

int64_t SystemTimeNow100ns() {
  if (IClock* clock = g_test_clock.load(std::memory_order_acquire)) return clock->SystemNow100ns();
  using Ticks100ns = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
  return std::chrono::duration_cast<Ticks100ns>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t TimeTicks::Now() {
  if (IClock* clock = g_test_clock.load(std::memory_order_acquire)) return clock->MonotonicNowUs();
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace Tav
