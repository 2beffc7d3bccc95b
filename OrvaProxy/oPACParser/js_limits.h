// Bounds on one PAC script evaluation.
//
// Every evaluation holds the process-wide PAC engine lock, so a script that
// never returns would stop every PAC evaluation in the process, and one that
// allocates without end would exhaust memory. Each evaluation therefore runs
// with a time budget (wall-clock time from the start of the evaluation,
// checked by the engine every 4 Ki bytecode instructions and as native work
// adds up: property accesses, native calls by the size of the strings they
// are handed, string comparisons, large allocations; what the script threw
// is described within it too) and a heap cap (every byte the engine
// allocates for the evaluation, its built-ins included). A script over
// either bound ends with status 999, within a small fraction past the time
// bound.
//
// The defaults leave a wide margin: a typical corporate PAC (a few hundred
// lines) evaluates in about a millisecond and uses well under 1 MiB of engine
// heap, and a PAC of several megabytes of generated tables parses in a few
// hundred milliseconds on a slow machine.
//
// Thread-safety: the limits are process-wide; reads and writes may come from
// any thread and take effect for evaluations that start afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

namespace OVProxy {

struct js_limits_t {
  int64_t time_ms = 0;         // wall-clock budget of one evaluation; 0 = none
  std::size_t heap_bytes = 0;  // engine heap cap of one evaluation; 0 = none
};

inline constexpr int64_t kJsDefaultTimeLimitMs = 2000;
inline constexpr std::size_t kJsDefaultHeapLimitBytes = std::size_t{64} << 20;  // 64 MiB

// A failure's message holds at most this many bytes of what the script
// threw (cut at a character boundary, marked with "...").
inline constexpr std::size_t kJsMaxErrorMessageBytes = 1024;

// alert(message) writes one information line to the memory log with at most
// this many bytes of the message, and at most kJsMaxAlertsPerEvaluation
// lines per evaluation, so a script cannot flood the log.
inline constexpr std::size_t kJsMaxAlertBytes = 512;
inline constexpr int kJsMaxAlertsPerEvaluation = 16;

js_limits_t js_current_limits();

// Replaces the limits; answers the limits in force before. Meant for tests
// and for tools that evaluate untrusted scripts with tighter bounds.
js_limits_t js_set_limits(js_limits_t limits);

}  // namespace OVProxy
