// The process clock while it lives, moved only by Advance, which wakes the
// task runners so that due work runs without real waiting. Declare it before
// any task environment, so that runner threads stop before it goes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "tavlib/tav_clock.h"

namespace ovtest {

class ManualClock final : public Tav::IClock {
 public:
  // 2026-01-01T00:00:00Z on the wall clock; 1 s on the monotonic one (0 means
  // "never" to some callers).
  ManualClock() : previous_(Tav::SetClockForTesting(this)) {}
  ~ManualClock() override { Tav::SetClockForTesting(previous_); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  // Negative amounts are ignored.
  void Advance(std::chrono::nanoseconds delta) {
    if (delta.count() <= 0) return;
    monotonic_ns_ += delta.count();
    system_100ns_ += delta.count() / 100;
    Tav::NotifyClockChanged();
  }
  void SetSystemTime100ns(int64_t ticks) { system_100ns_ = ticks; }

  int64_t SystemNow100ns() override { return system_100ns_; }
  int64_t MonotonicNowUs() override { return monotonic_ns_ / 1000; }
  int64_t MonotonicNowNs() override { return monotonic_ns_; }

 private:
  std::atomic<int64_t> system_100ns_{1767225600LL * 10'000'000LL};
  std::atomic<int64_t> monotonic_ns_{1'000'000'000};
  Tav::IClock* previous_;
};

}  // namespace ovtest
