// Hooks our Duktape configuration calls (see ov_duk_config_overrides.h).
//
// The execution time-out checks read the heap's user data as an
// ov_duk_budget: whoever creates a heap with a time bound passes user data
// whose first member is an ov_duk_budget (a standard-layout struct), or null
// for no bound. Thread: the checks run on the thread evaluating the heap.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct ov_duk_budget {
  // Monotonic deadline (Tav::TimeTicks::Now, microseconds); 0 means none.
  int64_t deadline_us;
  // Set by the check once the deadline has passed or the evaluation was
  // interrupted; stays set.
  bool expired;
  // Native steps counted since the clock was last read.
  uint32_t steps;
  // Set from another thread to stop the evaluation at its next check; null
  // when nobody can interrupt it. Read with every clock reading.
  const std::atomic<bool>* interrupt;
};

// C stack left to a thread when the engine refuses to go deeper. Large
// enough for the deepest path between two checks (an error thrown and
// described at the deepest level) with sanitizer frames.
inline constexpr std::size_t kOvDukStackReserveBytes = std::size_t{256} << 10;
