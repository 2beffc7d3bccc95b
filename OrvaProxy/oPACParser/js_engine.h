// One PAC script evaluation on a fresh JavaScript engine (Duktape).
//
// js_evaluate builds the program text (the PAC prelude immediately followed
// by the script), compiles and runs it on a new engine heap, calls
// FindProxyForURL(url, host) and accepts only a string result. The only host
// function offered to scripts is alert(message), which writes the message
// (cut short) to the memory log at information level and returns nothing. The heap is destroyed
// before the call returns, on every path, so nothing of a script survives it. Each evaluation is
// bounded in time and heap (js_limits.h).
//
// Texts handed in must be engine text (js_engine_text). Results are the
// engine's strings as UTF-8 (characters outside the Basic Multilingual Plane
// come back as CESU-8 surrogate pairs, as the engine stores them).
//
// Thread-safety: evaluations on different threads do not share state (the
// statistics are atomic); js_runner_t serialises them anyway.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "OrvaProxy/oPACParser/js_status.h"

namespace OVProxy {

// Narrow text for the engine: well-formed UTF-8 passes unchanged; any other
// text is read byte by byte as ISO-8859-1, so a PAC saved in a Western
// single-byte code page still loads.
std::string js_engine_text(std::string_view text);

// kJsOk with the answer in `result`, or kJsEngineFailed with `failure` set
// (and `result` untouched).
int32_t js_evaluate(std::string_view script, std::string_view url, std::string_view host,
                    std::string& result, js_failure_t& failure);

// Compiles and runs the program's top level without calling
// FindProxyForURL: kJsOk when the script loads, else kJsEngineFailed.
int32_t js_check_script(std::string_view script, js_failure_t& failure);

struct js_engine_stats_t {
  int64_t live_heaps = 0;       // engine heaps alive now
  int64_t peak_live_heaps = 0;  // most heaps alive at once since the last reset
  int64_t live_bytes = 0;       // bytes the live heaps hold
  int64_t evaluations = 0;      // evaluations started since the process began
};
js_engine_stats_t js_engine_stats();
void js_engine_reset_peak();

}  // namespace OVProxy
