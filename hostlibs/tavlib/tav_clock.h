// Clocks of the common library layer.
//
// Every reading of "now" in the module goes through these functions, so a
// test can install a clock it drives by hand (see tests/support) and check a
// 1000 ms or 30-minute rule without waiting. Production reads the system
// clock and the steady clock.
//
// Whoever waits for a point in time (the task library's delayed work) listens
// for clock changes: installing or removing a test clock and every move of a
// test clock are announced, so that a waiter can look at the time again
// instead of sleeping on the real clock.
//
// Thread-safety: all functions may be called from any thread. A test clock
// must outlive its installation; uninstalling it (SetClockForTesting(nullptr)
// or installing another) waits until no thread is reading it any more, so it
// may be destroyed right after.
#pragma once

#include <cstdint>
#include <functional>

namespace Tav {

class IClock {
 public:
  virtual ~IClock() = default;
  // Wall-clock time: 100-nanosecond ticks since 1970-01-01 UTC.
  virtual int64_t SystemNow100ns() = 0;
  // Monotonic time in microseconds since an arbitrary origin; never goes back.
  virtual int64_t MonotonicNowUs() = 0;
  // The same monotonic time in nanoseconds. Clocks that only know
  // microseconds need not override it.
  virtual int64_t MonotonicNowNs() { return MonotonicNowUs() * 1000; }
};

// Installs `clock` for the whole process; nullptr restores the real clocks.
// Returns the clock installed before (nullptr for the real clocks). Clock
// listeners are told.
IClock* SetClockForTesting(IClock* clock);

// 100-nanosecond ticks since 1970-01-01 UTC, the unit of update timestamps.
int64_t SystemTimeNow100ns();

// The monotonic clock.
struct TimeTicks {
  // Microsecond ticks.
  static int64_t Now();
  // Nanosecond ticks, same origin as Now() (Now() == NowNs() / 1000).
  static int64_t NowNs();
};

// Clock listeners: called, on the thread that changed the clock, after a test
// clock was installed, removed or moved. A listener must be quick and must
// not add or remove listeners. RemoveClockListener returns once the listener
// is no longer running, so its owner may be destroyed afterwards.
using ClockListenerId = uint64_t;
ClockListenerId AddClockListener(std::function<void()> listener);
void RemoveClockListener(ClockListenerId id);
// Called by test clocks after they moved.
void NotifyClockChanged();

}  // namespace Tav
