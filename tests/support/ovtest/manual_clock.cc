#include "ovtest/manual_clock.h"

namespace ovtest {

// 2026-01-01T00:00:00Z in 100-ns ticks since 1970.
constexpr int64_t kStartSystem100ns = 1767225600LL * 10'000'000LL;

ManualClock::ManualClock() : system_100ns_(kStartSystem100ns), monotonic_ns_(1'000'000'000) {
  previous_ = Tav::SetClockForTesting(this);
}

ManualClock::~ManualClock() {
  Tav::SetClockForTesting(previous_);
}

void ManualClock::Advance(std::chrono::nanoseconds delta) {
  if (delta.count() <= 0) return;
  monotonic_ns_ += delta.count();
  system_100ns_ += delta.count() / 100;
  Tav::NotifyClockChanged();
}

}  // namespace ovtest
