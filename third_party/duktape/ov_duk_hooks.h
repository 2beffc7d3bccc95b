// Hooks our Duktape configuration calls (see ov_duk_config_overrides.h).
//
// The execution time-out check reads the heap's user data as an
// ov_duk_budget: whoever creates a heap with a time bound passes user data
// whose first member is an ov_duk_budget (a standard-layout struct), or null
// for no bound. Thread: the check runs on the thread evaluating the heap.
#pragma once

#include <cstdint>

struct ov_duk_budget {
  // Monotonic deadline (Tav::TimeTicks::Now, microseconds); 0 means none.
  int64_t deadline_us;
  // Set by the check once the deadline has passed; stays set.
  bool expired;
};
