// Statuses of a PAC script evaluation and what a failure carries.
//
// Thread-safety: plain values.
#pragma once

#include <cstdint>
#include <string>

namespace OVProxy {

inline constexpr int32_t kJsOk = 0;              // the script returned a string
inline constexpr int32_t kJsEmptyScript = 811;   // nothing to run
inline constexpr int32_t kJsLoadFailed = 22;     // the script text could not be loaded
inline constexpr int32_t kJsEngineFailed = 999;  // the engine failed (see js_stage_t)

// Where an evaluation stopped.
enum class js_stage_t : int32_t {
  none = 0,
  load,         // copying or converting the script text
  create,       // creating the engine
  parse,        // compiling prelude and script
  start,        // running the program's top level
  find,         // looking up FindProxyForURL
  call,         // running FindProxyForURL
  result,       // FindProxyForURL returned something other than a string
  time_limit,   // the evaluation ran past its time budget
  heap_limit,   // the evaluation needed more than its heap cap
  interrupted,  // its caller stopped it (js_interrupt.h)
};

const char* js_stage_name(js_stage_t stage);

struct js_failure_t {
  js_stage_t stage = js_stage_t::none;
  // What the engine said, e.g. "SyntaxError: ... (PAC line 12)"; lines are
  // counted in the PAC script, not in the program with the prelude.
  std::string message;
  // Set on success too: the script asked for a name lookup or the machine's
  // address, which this engine does not answer, so the answer it gave was
  // made without DNS (the prelude notes it in __ovDnsBlind).
  bool dns_blind = false;
};

}  // namespace OVProxy
