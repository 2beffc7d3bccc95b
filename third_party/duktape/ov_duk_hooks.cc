// Definitions of the hooks named in ov_duk_config_overrides.h.
#include "ov_duk_hooks.h"

#include <pthread.h>

#include <cmath>
#include <cstdint>

#include "duktape.h"
#include "klbutil/klb_time_zone.h"
#include "tavlib/tav_clock.h"

namespace {

// Native steps between two clock reads: about a millisecond of property
// accesses.
constexpr uint32_t kStepsPerClockRead = 1U << 14;

// Lowest address the calling thread's stack may reach before the engine
// refuses to go deeper; computed once per thread.
uintptr_t StackFloor() {
  thread_local uintptr_t floor = [] {
    uintptr_t low = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* base = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &base, &size) == 0 && size > kOvDukStackReserveBytes) {
        low = reinterpret_cast<uintptr_t>(base) + kOvDukStackReserveBytes;
      }
      pthread_attr_destroy(&attr);
    }
    return low;
  }();
  return floor;
}

}  // namespace

extern "C" {

duk_double_t ov_duk_date_now(void) {
  // Whole milliseconds, as Date keeps them.
  const int64_t ticks = Tav::SystemTimeNow100ns();
  const int64_t ms = ticks >= 0 ? ticks / 10'000 : -((-ticks + 9'999) / 10'000);
  return static_cast<duk_double_t>(ms);
}

duk_int_t ov_duk_local_tzoffset(duk_double_t time_ms) {
  if (!std::isfinite(time_ms)) return 0;
  const double seconds = std::floor(time_ms / 1000.0);
  // Far outside any calendar a PAC cares about: no zone rules apply.
  if (seconds < -8.64e12 || seconds > 8.64e12) return 0;
  return static_cast<duk_int_t>(klb::local_utc_offset_seconds(static_cast<int64_t>(seconds)));
}

duk_bool_t ov_duk_exec_timeout_check(void* heap_udata) {
  auto* budget = static_cast<ov_duk_budget*>(heap_udata);
  if (budget == nullptr) return 0;
  if (budget->expired) return 1;
  if ((budget->interrupt != nullptr && budget->interrupt->load(std::memory_order_relaxed)) ||
      (budget->deadline_us != 0 && Tav::TimeTicks::Now() >= budget->deadline_us)) {
    budget->expired = true;
    return 1;
  }
  return 0;
}

duk_uint32_t ov_duk_steps_for_bytes(duk_size_t bytes) {
  const duk_size_t steps = 1 + bytes / 256;
  return steps > UINT32_MAX / 2 ? UINT32_MAX / 2 : static_cast<duk_uint32_t>(steps);
}

duk_bool_t ov_duk_native_steps(void* heap_udata, duk_uint32_t steps) {
  auto* budget = static_cast<ov_duk_budget*>(heap_udata);
  if (budget == nullptr) return 0;
  if (budget->expired) return 1;
  // Saturating: a single charge may be far over the interval.
  budget->steps = steps >= kStepsPerClockRead ? kStepsPerClockRead : budget->steps + steps;
  if (budget->steps < kStepsPerClockRead) return 0;
  budget->steps = 0;
  return ov_duk_exec_timeout_check(heap_udata);
}

duk_bool_t ov_duk_native_stack_check(void) {
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const uintptr_t floor = StackFloor();
  return floor != 0 && here < floor ? 1 : 0;
}

}  // extern "C"
