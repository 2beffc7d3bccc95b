// One PAC script evaluation with a fresh script state (Duktape; Active
// Scripting on Windows, see below).
//
// js_evaluate runs the PAC prelude and then the script, calls
// FindProxyForURL(url, host) and accepts only a string result. The only host
// function offered to scripts is alert(message), which writes the message
// (cut short) to the memory log at information level and returns nothing.
// Each evaluation is bounded in time and heap (js_limits.h).
//
// Isolation: every evaluation runs in a new global environment with its own
// fresh set of built-ins, so nothing of a script (a global it sets, a
// prototype it patches, a built-in it deletes or replaces) is seen by the
// next. What is kept between evaluations is engine-internal: one engine
// heap for the process (rebuilt after 10,000 evaluations, when it holds more
// than 16 MiB between evaluations, or after an evaluation ended at a bound),
// the compiled form of the prelude, and the compiled forms of the last few
// scripts (js_script_cache.h). The prelude's shExpMatch is served by a
// native wildcard match where that gives the same answer (sh_exp_match.h)
// and by the prelude's own definition otherwise; a script that defines its
// own shExpMatch gets its own.
//
// js_engine_prepare builds the next evaluation's environment ahead of time
// (built-ins and prelude), so that a caller with idle time takes that work
// off the next request's path.
//
// Texts handed in must be engine text (js_engine_text). Results are the
// engine's strings as UTF-8 (characters outside the Basic Multilingual Plane
// come back as CESU-8 surrogate pairs, as the engine stores them).
//
// Windows (js_engine_jscript.cc): Active Scripting with the JScript engine,
// a new engine for every evaluation, so nothing is kept and
// js_engine_prepare and js_engine_reset do nothing. Scripts get JScript's
// language (ECMAScript 3: no String.prototype.trim, Array.prototype.indexOf,
// JSON). The time bound interrupts the script from a timer thread
// (IActiveScript::InterruptScriptThread); the heap cap is held against the
// growth of the process's private bytes, looked at every 25 ms and when an
// evaluation has gone through. Whatever the engine does with an interrupt, an evaluation past a
// bound fails at it. Text that is not UTF-8 is read in the ANSI code page,
// and results are plain UTF-8. Stats: live_bytes and cached_scripts stay 0,
// heap_builds counts engines, peak_evaluation_bytes is the most growth of
// private bytes seen.
//
// The DNS-aware engine (js_evaluate_dns) is a second engine state of the
// same kind, with its own heap, compiled scripts and lock, for the process's
// own proxy resolution service: a slow name lookup there never holds up the
// in-process engine. Its scripts get two host functions, which the
// prelude's dnsResolve and myIpAddress (and their Ex forms) call:
//   dns_resolve(name)     the first IPv4 address of `name`, or null;
//                         dns_resolve('') the machine's own (myIpAddress)
//   dns_resolve_ex(name)  every address of `name`, IPv6 and IPv4, joined
//                         with ";", or ""; dns_resolve_ex('') the machine's
// Lookups go through js_dns_t within the evaluation's time bound: a lookup
// waits no longer than the time left, and once that is spent every further
// call fails at once, so a script asking thousands of names ends at the
// bound. It invokes the prelude's findProxyForURL, which calls the script's
// FindProxyForURLEx when it defines one, else FindProxyForURL. Results are
// short (kJsMaxDnsAnswerBytes; an Ex list is cut at a whole address).
//
// Thread-safety: all functions may be called from any thread; each engine
// serialises its evaluations with a lock of its own (js_runner_t
// serialises the in-process engine's anyway).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// What a DNS-aware evaluation asks of the machine. Called on the evaluating
// thread, possibly many times per evaluation; must not throw (anything
// thrown counts as "does not resolve").
class js_dns_t {
 public:
  virtual ~js_dns_t() = default;
  // The addresses of `name` (IPv6 and IPv4, in the resolver's order), empty
  // when it does not resolve; waits no later than `deadline_us`
  // (Tav::TimeTicks; 0: no deadline of the caller's).
  virtual std::vector<std::string> resolve(const std::string& name, int64_t deadline_us) = 0;
  // The machine's own addresses, the default route's interface's first.
  virtual std::vector<std::string> local_addresses() = 0;
};

inline constexpr std::size_t kJsMaxDnsAnswerBytes = 1024;

// The same as js_evaluate on the DNS-aware engine, with `dns` answering the
// script's lookups. Its heap and evaluations do not count in
// js_engine_stats. On Windows (JScript) scripts get no host functions there
// either: this is js_evaluate.
int32_t js_evaluate_dns(std::string_view script, std::string_view url, std::string_view host,
                        js_dns_t& dns, std::string& result, js_failure_t& failure);

// Compiles and runs the program's top level without calling
// FindProxyForURL: kJsOk when the script loads, else kJsEngineFailed.
int32_t js_check_script(std::string_view script, js_failure_t& failure);

// Prepares the next evaluation's environment unless one is waiting.
void js_engine_prepare();

// Drops the kept heaps and the compiled scripts of both engines (memory
// pressure, tests).
void js_engine_reset();

struct js_engine_stats_t {
  int64_t live_heaps = 0;      // engine heaps alive now (0 or 1)
  int64_t live_bytes = 0;      // bytes the live heap holds
  int64_t evaluations = 0;     // evaluations started since the process began
  int64_t peak_running = 0;    // most evaluations running at once since the last reset
  int64_t heap_builds = 0;     // heaps created since the process began
  int64_t cached_scripts = 0;  // compiled scripts kept now
  // Most heap one evaluation needed (its environment included) since the
  // last reset.
  int64_t peak_evaluation_bytes = 0;
};
js_engine_stats_t js_engine_stats();
void js_engine_reset_peak();

}  // namespace OVProxy
