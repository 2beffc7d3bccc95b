// The counters behind js_engine_stats(), kept alike by every PAC engine.
//
// An engine reports what it builds and runs through these calls; the stats
// functions of js_engine.h read them. Thread-safety: every call may come
// from any thread; the counters are atomics, read without a lock.
#pragma once

#include <atomic>
#include <cstdint>

namespace OVProxy::js_engine_counters {

// Raises `peak` to `value` when that is higher, against concurrent raisers.
inline void raise_to(std::atomic<int64_t>& peak, int64_t value) {
  int64_t seen = peak.load();
  while (value > seen && !peak.compare_exchange_weak(seen, value)) {
  }
}

// An engine heap (or scripting engine) was created, and later destroyed.
void heap_built();
void heap_destroyed();

// Bytes the live heap holds now, and compiled scripts kept now.
void set_live_bytes(int64_t bytes);
void set_cached_scripts(int64_t count);

// The most heap one evaluation needed, kept as the peak since the last reset.
void note_evaluation_bytes(int64_t bytes);

// Counts an evaluation from construction to destruction: evaluations started,
// evaluations running now, and the most running at once.
class running_evaluation {
 public:
  running_evaluation();
  ~running_evaluation();
  running_evaluation(const running_evaluation&) = delete;
  running_evaluation& operator=(const running_evaluation&) = delete;
};

}  // namespace OVProxy::js_engine_counters
