// A clock driven by hand. While an instance lives it is the process clock
// (Tav::SystemTimeNow100ns, Tav::TimeTicks::Now/NowNs); time moves only by
// Advance, which also wakes the task library's runners so that delayed work
// that became due runs without any real waiting.
//
// Declare the clock before whatever runs work on other threads (a task
// environment), so that those threads stop before the clock goes away.
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

  // Moves both clocks forward and tells the clock's listeners (runners look
  // at their delayed work again). Negative amounts are ignored.
  void Advance(std::chrono::nanoseconds delta);
  void SetSystemTime100ns(int64_t ticks) { system_100ns_ = ticks; }

  int64_t SystemNow100ns() override { return system_100ns_; }
  int64_t MonotonicNowUs() override { return monotonic_ns_ / 1000; }
  int64_t MonotonicNowNs() override { return monotonic_ns_; }

 private:
  std::atomic<int64_t> system_100ns_;
  std::atomic<int64_t> monotonic_ns_;
  Tav::IClock* previous_ = nullptr;
};

}  // namespace ovtest
