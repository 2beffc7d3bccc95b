// A clock driven by hand. While an instance lives it is the process clock
// (Tav::SystemTimeNow100ns, Tav::TimeTicks::Now); time moves only by Advance.
//
// Thread-safety: Advance and the readings may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "tavlib/tav_clock.h"

namespace ovtest {

class ManualClock final : public Tav::IClock {
 public:
  // Starts at 2026-01-01T00:00:00Z on the wall clock and 1 s on the
  // monotonic clock (0 means "never" to some callers).
  ManualClock();
  ~ManualClock() override;
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  void Advance(std::chrono::microseconds delta);
  void SetSystemTime100ns(int64_t ticks) { system_100ns_ = ticks; }

  int64_t SystemNow100ns() override { return system_100ns_; }
  int64_t MonotonicNowUs() override { return monotonic_us_; }

 private:
  std::atomic<int64_t> system_100ns_;
  std::atomic<int64_t> monotonic_us_;
  Tav::IClock* previous_ = nullptr;
};

}  // namespace ovtest
