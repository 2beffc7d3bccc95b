// Clocks of the common library layer.
//
// Every reading of "now" in the module goes through these functions, so a
// test can install a clock it drives by hand (see tests/support) and check a
// 1000 ms or 30-minute rule without waiting. Production reads the system
// clock and the steady clock.
//
// Thread-safety: all functions may be called from any thread. A test clock
// must outlive its installation and be uninstalled (SetClockForTesting
// (nullptr)) before it is destroyed.
#pragma once

#include <cstdint>

namespace Tav {

class IClock {
 public:
  virtual ~IClock() = default;
  // Wall-clock time: 100-nanosecond ticks since 1970-01-01 UTC.
  virtual int64_t SystemNow100ns() = 0;
  // Monotonic time in microseconds since an arbitrary origin; never goes back.
  virtual int64_t MonotonicNowUs() = 0;
};

// Installs `clock` for the whole process; nullptr restores the real clocks.
// Returns the clock installed before (nullptr for the real clocks).
IClock* SetClockForTesting(IClock* clock);

// 100-nanosecond ticks since 1970-01-01 UTC, the unit of update timestamps.
int64_t SystemTimeNow100ns();

// The monotonic clock, microsecond ticks.
struct TimeTicks {
  static int64_t Now();
};

}  // namespace Tav
