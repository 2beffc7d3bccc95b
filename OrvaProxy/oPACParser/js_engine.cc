#include "OrvaProxy/oPACParser/js_engine.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

#include "OrvaProxy/oPACParser/js_block_pool.h"
#include "OrvaProxy/oPACParser/js_engine_counters.h"
#include "OrvaProxy/oPACParser/js_interrupt.h"
#include "OrvaProxy/oPACParser/js_limits.h"
#include "OrvaProxy/oPACParser/js_script_cache.h"
#include "OrvaProxy/oPACParser/pac_prelude.h"
#include "OrvaProxy/oPACParser/sh_exp_match.h"
#include "OrvaProxy/ov_log.h"
#include "duktape.h"
#include "klbutil/klb_string.h"
#include "ov_duk_hooks.h"
#include "tavlib/tav_clock.h"
#include "tavlib/tav_no_destructor.h"

namespace OVProxy {
namespace {

// Heap user data. The time budget must come first: the engine's time-out
// hook reads the user data as an ov_duk_budget.
struct HeapState {
  ov_duk_budget budget;
  std::size_t limit;  // cap of the current environment's bytes; 0 = no cap
  std::size_t used;   // bytes the heap holds
  std::size_t base;   // bytes the heap held when the current environment began
  std::size_t peak;   // most bytes the current environment added
  bool refused;       // an allocation was refused for the cap
  int alerts_left;    // alert() lines this evaluation may still write
  js_block_pool_t* pool;
  js_dns_t* dns;  // the DNS-aware engine's lookups for this evaluation; else null
};
static_assert(std::is_standard_layout_v<HeapState>);
static_assert(offsetof(HeapState, budget) == 0);

// Every block carries its size in front, so the cap can be kept exactly.
constexpr std::size_t kHeader = alignof(std::max_align_t);
static_assert(kHeader >= sizeof(std::size_t));

// The cap holds what the current environment added to the heap (its
// built-ins included); garbage of earlier environments freed meanwhile only
// makes room. Large allocations also count against the time budget, as the
// copying that fills them does, and none is made once the evaluation is over
// its time: whatever the script does next fails at once.
[[gnu::noinline]] bool OverTimeForLargeBlock(HeapState& state, std::size_t grow) {
  return ov_duk_native_steps(&state.budget, ov_duk_steps_for_bytes(grow)) != 0;
}

// Inlined into every allocation: the common small block costs one compare.
inline bool Admit(HeapState& state, std::size_t grow) {
  if (grow >= 4096 && OverTimeForLargeBlock(state, grow)) return false;
  const std::size_t in_use = state.used > state.base ? state.used - state.base : 0;
  if (state.limit != 0 && (in_use > state.limit || grow > state.limit - in_use)) {
    state.refused = true;
    return false;
  }
  return true;
}

void NotePeak(HeapState& state) {
  if (state.used > state.base && state.used - state.base > state.peak) {
    state.peak = state.used - state.base;
  }
}

void* HeapAlloc(void* udata, duk_size_t size) {
  auto& state = *static_cast<HeapState*>(udata);
  if (size == 0 || size > SIZE_MAX - kHeader || !Admit(state, size)) return nullptr;
  auto* base = static_cast<unsigned char*>(state.pool->take(kHeader + size));
  if (base == nullptr) return nullptr;
  std::memcpy(base, &size, sizeof(std::size_t));
  state.used += size;
  NotePeak(state);
  return base + kHeader;
}

void HeapFree(void* udata, void* ptr) {
  if (ptr == nullptr) return;
  auto& state = *static_cast<HeapState*>(udata);
  unsigned char* base = static_cast<unsigned char*>(ptr) - kHeader;
  std::size_t size = 0;
  std::memcpy(&size, base, sizeof(std::size_t));
  state.used -= size;
  state.pool->give(base, kHeader + size);
}

void* HeapRealloc(void* udata, void* ptr, duk_size_t size) {
  if (ptr == nullptr) return HeapAlloc(udata, size);
  if (size == 0) {
    HeapFree(udata, ptr);
    return nullptr;
  }
  auto& state = *static_cast<HeapState*>(udata);
  unsigned char* base = static_cast<unsigned char*>(ptr) - kHeader;
  std::size_t old_size = 0;
  std::memcpy(&old_size, base, sizeof(std::size_t));
  if (size > SIZE_MAX - kHeader) return nullptr;
  if (size > old_size && !Admit(state, size - old_size)) return nullptr;
  if (js_block_pool_t::same_class(kHeader + old_size, kHeader + size)) {
    std::memcpy(base, &size, sizeof(std::size_t));
    state.used = state.used - old_size + size;
    NotePeak(state);
    return ptr;
  }
  if (kHeader + old_size > js_block_pool_t::kMaxPooled &&
      kHeader + size > js_block_pool_t::kMaxPooled) {
    auto* grown = static_cast<unsigned char*>(std::realloc(base, kHeader + size));
    if (grown == nullptr) return nullptr;  // the old block stays valid
    std::memcpy(grown, &size, sizeof(std::size_t));
    state.used = state.used - old_size + size;
    NotePeak(state);
    return grown + kHeader;
  }
  auto* moved = static_cast<unsigned char*>(state.pool->take(kHeader + size));
  if (moved == nullptr) return nullptr;
  std::memcpy(moved + kHeader, ptr, old_size < size ? old_size : size);
  std::memcpy(moved, &size, sizeof(std::size_t));
  state.pool->give(base, kHeader + old_size);
  state.used = state.used - old_size + size;
  NotePeak(state);
  return moved + kHeader;
}

[[noreturn]] void FatalHandler(void*, const char* message) {
  // Only reachable through an error outside a protected call, which this
  // file never makes.
  ovLog(LogLevel::kError, "PACENG_FTL1",
        std::string("js_engine: fatal engine error - message=") + (message ? message : ""));
  std::abort();
}

// At most `max` bytes of `text`, cut at a UTF-8 character boundary; a cut
// text ends with "...".
std::string CutText(const char* text, std::size_t size, std::size_t max) {
  if (text == nullptr) return std::string();
  if (size <= max) return std::string(text, size);
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text, end) + "...";
}

HeapState* StateOf(duk_context* ctx) {
  duk_memory_functions functions;
  duk_get_memory_functions(ctx, &functions);
  return static_cast<HeapState*>(functions.udata);
}

// alert(message): one information line in the memory log, nothing else.
duk_ret_t Alert(duk_context* ctx) {
  HeapState* state = StateOf(ctx);
  duk_size_t size = 0;
  const char* text = duk_to_lstring(ctx, 0, &size);  // may throw: no C++ objects yet
  if (state == nullptr || state->alerts_left <= 0) return 0;
  --state->alerts_left;
  try {
    ovLog(LogLevel::kInfo, "PACENG_ALRT",
          "js_engine: alert - message=" + CutText(text, size, kJsMaxAlertBytes));
  } catch (...) {
    // Logging is best effort; the script goes on.
  }
  return 0;
}

// Fills `answer` with what dns_resolve (`all` false) or dns_resolve_ex
// (`all` true) answers for `name`; false when it does not resolve. The
// engine never sees an exception or a C++ object from here.
bool LookUpForScript(HeapState& state, const char* name, std::size_t size, bool all,
                     char (&answer)[kJsMaxDnsAnswerBytes]) noexcept {
  try {
    const std::string text(name, size);
    const std::vector<std::string> addresses =
        text.empty() ? state.dns->local_addresses()
                     : state.dns->resolve(text, state.budget.deadline_us);
    std::string out;
    for (const std::string& address : addresses) {
      if (!all) {
        if (address.find(':') != std::string::npos) continue;  // IPv4 only
        out = address;
        break;
      }
      // Cut at a whole address rather than grow without end.
      if (out.size() + 1 + address.size() >= kJsMaxDnsAnswerBytes) break;
      if (!out.empty()) out += ';';
      out += address;
    }
    // A machine that knows no address of its own is itself to its scripts.
    if (out.empty() && text.empty()) out = "127.0.0.1";
    if (out.empty() || out.size() >= kJsMaxDnsAnswerBytes) return false;
    std::memcpy(answer, out.c_str(), out.size() + 1);
    return true;
  } catch (...) {
    return false;
  }
}

duk_ret_t DnsLookup(duk_context* ctx, bool all) {
  HeapState* state = StateOf(ctx);
  char answer[kJsMaxDnsAnswerBytes];
  bool found = false;
  // Over its time, the evaluation asks nothing more: the next check of the
  // executor ends it.
  if (state != nullptr && state->dns != nullptr && duk_is_string(ctx, 0) &&
      !ov_duk_exec_timeout_check(state)) {
    duk_size_t size = 0;
    const char* name = duk_get_lstring(ctx, 0, &size);
    found = LookUpForScript(*state, name, size, all, answer);
  }
  if (found) {
    duk_push_string(ctx, answer);
  } else if (all) {
    duk_push_string(ctx, "");
  } else {
    duk_push_null(ctx);
  }
  return 1;
}

// dns_resolve(name) and dns_resolve_ex(name) of the DNS-aware engine.
duk_ret_t DnsResolve(duk_context* ctx) {
  return DnsLookup(ctx, false);
}
duk_ret_t DnsResolveEx(duk_context* ctx) {
  return DnsLookup(ctx, true);
}

// The prelude's shExpMatch, kept on the native one that stands in for it.
constexpr char kRegExpShExpMatch[] = DUK_HIDDEN_SYMBOL("regexp");

// shExpMatch(str, pattern): the wildcard fast path where it gives the
// prelude's answer, else the prelude's own (regular-expression) definition.
duk_ret_t ShExpMatch(duk_context* ctx) {
  if (duk_is_string(ctx, 0) && duk_is_string(ctx, 1)) {
    duk_size_t str_size = 0;
    duk_size_t pattern_size = 0;
    const char* str = duk_get_lstring(ctx, 0, &str_size);
    const char* pattern = duk_get_lstring(ctx, 1, &pattern_size);
    const sh_exp_result_t fast =
        sh_exp_match_fast(std::string_view(str, str_size), std::string_view(pattern, pattern_size));
    if (fast != sh_exp_result_t::undecided) {
      duk_push_boolean(ctx, fast == sh_exp_result_t::match);
      return 1;
    }
  }
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, kRegExpShExpMatch);
  duk_dup(ctx, 0);
  duk_dup(ctx, 1);
  duk_call(ctx, 2);
  return 1;
}

// [... error] -> [... text]; the error's line number goes to *udata (0 if
// none) and whether it is a line of the prelude to the sign: negative for
// the prelude. A safe call runs in its caller's stack frame, so the
// argument is addressed from the top.
duk_ret_t DescribeProtected(duk_context* ctx, void* udata) {
  auto* line = static_cast<duk_int_t*>(udata);
  *line = 0;
  const duk_idx_t error = duk_normalize_index(ctx, -1);
  if (duk_is_error(ctx, error)) {
    duk_get_prop_string(ctx, error, "lineNumber");
    if (duk_is_number(ctx, -1)) *line = duk_get_int(ctx, -1);
    duk_pop(ctx);
    duk_get_prop_string(ctx, error, "fileName");
    if (duk_is_string(ctx, -1) && std::strcmp(duk_get_string(ctx, -1), "prelude") == 0) {
      *line = -*line;
    }
    duk_pop(ctx);
  }
  duk_safe_to_string(ctx, error);
  return 1;
}

std::string LineText(int line) {
  if (line < 0) return "prelude line " + std::to_string(-line);
  return "PAC line " + std::to_string(line);
}

// The top of the stack is the thrown value; it stays there. Line numbers are
// shown for errors of the script's own code, in PAC-file lines.
std::string DescribeError(duk_context* ctx, bool with_line) {
  duk_dup_top(ctx);
  duk_int_t line = 0;
  if (duk_safe_call(ctx, DescribeProtected, &line, 1, 1) != DUK_EXEC_SUCCESS) {
    duk_pop(ctx);
    return "error (not describable)";
  }
  duk_size_t size = 0;
  const char* text = duk_get_lstring(ctx, -1, &size);
  // A thrown value may be a string of megabytes.
  std::string message = CutText(text, size, kJsMaxErrorMessageBytes);
  duk_pop(ctx);
  // Compile errors carry "(line N)" of the script in their text.
  const std::size_t at = message.rfind("(line ");
  if (at != std::string::npos) {
    const std::size_t end = message.find(')', at);
    const int script_line = std::atoi(message.c_str() + at + 6);
    if (end != std::string::npos && script_line > 0) {
      message.replace(at, end - at + 1, "(" + LineText(script_line) + ")");
      return message;
    }
  }
  if (with_line && line != 0) message += " (" + LineText(line) + ")";
  return message;
}

const char* TypeName(duk_context* ctx, duk_idx_t index) {
  switch (duk_get_type(ctx, index)) {
    case DUK_TYPE_UNDEFINED:
      return "undefined";
    case DUK_TYPE_NULL:
      return "null";
    case DUK_TYPE_BOOLEAN:
      return "a boolean";
    case DUK_TYPE_NUMBER:
      return "a number";
    case DUK_TYPE_OBJECT:
      return "an object";
    default:
      return "a value that is not a string";
  }
}

// ---------------------------------------------------------------------------
// Protected steps. They hold only plain pointers: nothing with a destructor
// may live in a frame the engine can unwind with longjmp.

struct Bytes {
  const char* data;
  std::size_t size;
};

// Where a protected step leaves a compiled form for the caller to copy.
constexpr char kDumpKey[] = DUK_HIDDEN_SYMBOL("dump");

// [... func] -> [... func], the function's compiled form in the heap stash.
void StashDump(duk_context* ctx) {
  duk_dup_top(ctx);
  duk_dump_function(ctx);
  duk_push_heap_stash(ctx);
  duk_swap_top(ctx, -2);
  duk_put_prop_string(ctx, -2, kDumpKey);
  duk_pop(ctx);
}

// Outside a protected call: only reads and a delete of an existing property,
// which never allocate.
std::string TakeDump(duk_context* ctx) {
  std::string dump;
  duk_push_heap_stash(ctx);
  if (duk_get_prop_string(ctx, -1, kDumpKey)) {
    duk_size_t size = 0;
    const void* data = duk_get_buffer_data(ctx, -1, &size);
    if (data != nullptr) dump.assign(static_cast<const char*>(data), size);
  }
  duk_pop(ctx);
  duk_del_prop_string(ctx, -1, kDumpKey);
  duk_pop(ctx);
  return dump;
}

void PushBytecode(duk_context* ctx, Bytes bytecode) {
  std::memcpy(duk_push_fixed_buffer(ctx, bytecode.size), bytecode.data, bytecode.size);
  duk_load_function(ctx);
}

struct PrepareJob {
  Bytes prelude;
  bool dns;  // offer the DNS host functions
};

// Runs on a new thread with fresh built-ins and global environment: makes it
// the environment a script runs in (the prelude has run, the host functions
// are in place). An empty `prelude` compiles the prelude and stashes its
// compiled form.
duk_ret_t PrepareEnvProtected(duk_context* ctx, void* udata) {
  const PrepareJob job = *static_cast<const PrepareJob*>(udata);
  const Bytes prelude = job.prelude;
  duk_push_global_object(ctx);
  // Scripts get standard ECMAScript built-ins only: no engine object (which
  // could set finalizers or force collections) and no real-time clock.
  duk_del_prop_string(ctx, -1, "Duktape");
  duk_del_prop_string(ctx, -1, "performance");
  duk_push_c_function(ctx, Alert, 1);
  duk_put_prop_string(ctx, -2, "alert");
  if (job.dns) {
    duk_push_c_function(ctx, DnsResolve, 1);
    duk_put_prop_string(ctx, -2, "dns_resolve");
    duk_push_c_function(ctx, DnsResolveEx, 1);
    duk_put_prop_string(ctx, -2, "dns_resolve_ex");
  }
  if (prelude.size == 0) {
    duk_push_lstring(ctx, kPacPrelude.data(), kPacPrelude.size());
    duk_push_string(ctx, "prelude");
    duk_compile(ctx, 0);
    StashDump(ctx);
  } else {
    PushBytecode(ctx, prelude);
  }
  duk_call(ctx, 0);
  duk_pop(ctx);
  // The native shExpMatch stands in for the prelude's and falls back to it;
  // a script that defines its own replaces it like any global.
  duk_push_c_function(ctx, ShExpMatch, 2);
  duk_get_prop_string(ctx, -2, "shExpMatch");
  duk_put_prop_string(ctx, -2, kRegExpShExpMatch);
  duk_put_prop_string(ctx, -2, "shExpMatch");
  return 0;
}

// Runs on the environment's thread.
struct EvaluateJob {
  Bytes script;    // engine text of the script
  Bytes bytecode;  // its cached compiled form; empty: compile and stash it
  Bytes url;
  Bytes host;
  bool call_entry;
  const char* entry;  // the function called with (url, host)
  js_stage_t stage;
  bool dns_blind = false;
};

duk_ret_t EvaluateProtected(duk_context* ctx, void* udata) {
  auto* job = static_cast<EvaluateJob*>(udata);
  job->stage = js_stage_t::parse;
  if (job->bytecode.size == 0) {
    // A leading ";" ends the directive prologue: a "use strict" at the top
    // of the script means nothing, as when the prelude comes first in one
    // program text. Lines stay as they are.
    duk_push_string(ctx, ";");
    duk_push_lstring(ctx, job->script.data, job->script.size);
    duk_concat(ctx, 2);
    duk_push_string(ctx, "pac");
    duk_compile(ctx, 0);
    StashDump(ctx);
  } else {
    PushBytecode(ctx, job->bytecode);
  }
  job->stage = js_stage_t::start;
  duk_call(ctx, 0);
  duk_pop(ctx);
  if (!job->call_entry) {
    duk_push_undefined(ctx);
    return 1;
  }
  job->stage = js_stage_t::find;
  if (!duk_get_global_string(ctx, job->entry) || !duk_is_callable(ctx, -1)) {
    return duk_error(ctx, DUK_ERR_TYPE_ERROR, "%s is not a function", job->entry);
  }
  job->stage = js_stage_t::call;
  duk_push_lstring(ctx, job->url.data, job->url.size);
  duk_push_lstring(ctx, job->host.data, job->host.size);
  duk_call(ctx, 2);
  job->stage = js_stage_t::result;
  // A declared global: the script cannot turn it into a getter.
  duk_get_global_string(ctx, "__ovDnsBlind");
  job->dns_blind = duk_to_boolean(ctx, -1) != 0;
  duk_pop(ctx);
  return 1;
}

// ---------------------------------------------------------------------------
// The kept engine: one heap for the process, a fresh global environment for
// every evaluation.

// A heap is rebuilt after this many evaluations, or when it holds more than
// kRebuildBytes between evaluations, or after an evaluation ended at a
// bound (its heap may hold anything the script left behind).
constexpr int64_t kRebuildEvaluations = 10'000;
constexpr std::size_t kRebuildBytes = std::size_t{16} << 20;
// Environments are cyclic garbage once used, which only a collection frees.
// The engine collects itself (the heap's own voluntary collection is off)
// before building an environment, once every kGcEvaluations evaluations or
// sooner when kGcBytes of garbage may have gathered, so that a prepared
// environment has paid for it off the request's path; an allocation that
// fails still collects first.
constexpr int64_t kGcEvaluations = 16;
constexpr std::size_t kGcBytes = std::size_t{4} << 20;

class Engine {
 public:
  // The in-process engine: no host functions, FindProxyForURL, counted in
  // js_engine_stats.
  static Engine& Instance() {
    static Tav::NoDestructor<Engine> engine(false);  // lives until the process ends
    return *engine;
  }
  // The DNS-aware engine of the process's own resolution service.
  static Engine& DnsInstance() {
    static Tav::NoDestructor<Engine> engine(true);
    return *engine;
  }

  explicit Engine(bool dns_aware) : dns_aware_(dns_aware) {}

  std::mutex& mutex() { return mutex_; }

  int32_t Evaluate(std::string_view script, std::string_view url, std::string_view host,
                   bool call_entry, std::string* result, js_failure_t& failure,
                   js_dns_t* dns = nullptr);
  void Prepare();
  void Reset() {
    DestroyHeap();
    cache_.clear();
    if (!dns_aware_) js_engine_counters::set_cached_scripts(0);
  }

 private:
  // The stats of js_engine.h are the in-process engine's.
  void NoteLiveBytes() {
    if (!dns_aware_) js_engine_counters::set_live_bytes(static_cast<int64_t>(state_.used));
  }

  void StartBudget(const js_limits_t& limits) {
    state_.budget.deadline_us =
        limits.time_ms > 0 ? Tav::TimeTicks::Now() + limits.time_ms * 1000 : 0;
    state_.budget.expired = false;
    state_.budget.steps = 0;
    state_.budget.interrupt = js_current_interrupt();
    state_.limit = limits.heap_bytes;
    state_.refused = false;
    state_.alerts_left = kJsMaxAlertsPerEvaluation;
  }
  bool EnsureHeap();
  void DestroyHeap();
  // Pushes a prepared environment on the base thread, or fills `failure`.
  bool PushEnvironment(js_failure_t& failure);
  // The budget is stopped before anything else touches the heap: once over
  // its time, every entry into the engine throws again.
  struct Bounds {
    bool expired;
    bool refused;
    bool interrupted;
    bool hit() const { return expired || refused; }
  };
  // Whether a bound was hit so far; the budget keeps running.
  bool BoundHit() const { return state_.budget.expired || state_.refused; }
  Bounds StopBudget() {
    const bool interrupted = state_.budget.interrupt != nullptr &&
                             state_.budget.interrupt->load(std::memory_order_acquire);
    const Bounds bounds{state_.budget.expired, state_.refused, interrupted};
    state_.budget.deadline_us = 0;
    state_.budget.expired = false;
    state_.budget.interrupt = nullptr;
    state_.refused = false;
    state_.limit = 0;
    return bounds;
  }
  static void FailAtBound(const js_limits_t& limits, const Bounds& bounds, js_failure_t& failure);

  const bool dns_aware_;
  std::mutex mutex_;
  HeapState state_{};
  duk_context* ctx_ = nullptr;  // the heap's base thread
  int64_t heap_evaluations_ = 0;
  bool prepared_ = false;  // an environment waits on the base thread
  std::string prelude_bytecode_;
  js_script_cache_t cache_;
  std::unique_ptr<js_block_pool_t> pool_;
  std::size_t used_after_gc_ = 0;
  int64_t evaluations_at_gc_ = 0;
};

bool Engine::EnsureHeap() {
  if (ctx_ != nullptr) return true;
  pool_ = std::make_unique<js_block_pool_t>();
  state_ = HeapState{};
  state_.pool = pool_.get();
  ctx_ = duk_create_heap(HeapAlloc, HeapRealloc, HeapFree, &state_, FatalHandler);
  if (ctx_ == nullptr) {
    pool_.reset();
    return false;
  }
  used_after_gc_ = state_.used;
  heap_evaluations_ = 0;
  evaluations_at_gc_ = 0;
  prepared_ = false;
  if (!dns_aware_) js_engine_counters::heap_built();
  return true;
}

void Engine::DestroyHeap() {
  if (ctx_ == nullptr) return;
  StopBudget();
  duk_destroy_heap(ctx_);
  ctx_ = nullptr;
  pool_.reset();
  NoteLiveBytes();
  prepared_ = false;
  if (!dns_aware_) js_engine_counters::heap_destroyed();
}

void Engine::FailAtBound(const js_limits_t& limits, const Bounds& bounds, js_failure_t& failure) {
  if (bounds.interrupted) {
    failure.stage = js_stage_t::interrupted;
    failure.message = "the evaluation was interrupted by its caller";
  } else if (bounds.expired) {
    failure.stage = js_stage_t::time_limit;
    failure.message = "the script ran longer than " + std::to_string(limits.time_ms) + " ms";
  } else {
    failure.stage = js_stage_t::heap_limit;
    failure.message =
        "the script needed more than " + std::to_string(limits.heap_bytes) + " bytes of heap";
  }
}

bool Engine::PushEnvironment(js_failure_t& failure) {
  if (prepared_) {
    prepared_ = false;
    return true;
  }
  if (heap_evaluations_ - evaluations_at_gc_ >= kGcEvaluations ||
      state_.used > used_after_gc_ + kGcBytes) {
    duk_gc(ctx_, 0);
    used_after_gc_ = state_.used;
    evaluations_at_gc_ = heap_evaluations_;
  }
  state_.base = state_.used;
  state_.peak = 0;
  PrepareJob prepare{{prelude_bytecode_.data(), prelude_bytecode_.size()}, dns_aware_};
  duk_push_thread_new_globalenv(ctx_);
  duk_context* env = duk_get_context(ctx_, -1);
  if (duk_safe_call(env, PrepareEnvProtected, &prepare, 0, 1) != DUK_EXEC_SUCCESS) {
    // Described while the bounds still hold.
    const std::string why = BoundHit() ? std::string() : DescribeError(env, false);
    const Bounds bounds = StopBudget();
    if (bounds.hit()) {
      FailAtBound(js_current_limits(), bounds, failure);
    } else {
      failure.stage = js_stage_t::create;
      failure.message = "the script environment could not be prepared: " + why;
    }
    duk_pop(ctx_);
    return false;
  }
  if (prelude_bytecode_.empty()) prelude_bytecode_ = TakeDump(env);
  duk_set_top(env, 0);
  return true;
}

void Engine::Prepare() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (prepared_ || !EnsureHeap()) return;
  StartBudget(js_current_limits());
  js_failure_t ignored;
  prepared_ = PushEnvironment(ignored);
  StopBudget();
  if (!prepared_) DestroyHeap();
  NoteLiveBytes();
}

int32_t Engine::Evaluate(std::string_view script, std::string_view url, std::string_view host,
                         bool call_entry, std::string* result, js_failure_t& failure,
                         js_dns_t* dns) {
  const js_limits_t limits = js_current_limits();
  std::optional<js_engine_counters::running_evaluation> running;
  if (!dns_aware_) running.emplace();

  if (js_interrupt_requested()) {
    FailAtBound(limits, Bounds{false, false, true}, failure);
    return kJsEngineFailed;
  }
  if (!EnsureHeap()) {
    failure.stage = js_stage_t::create;
    failure.message = "the script engine could not be created";
    return kJsEngineFailed;
  }
  StartBudget(limits);
  state_.dns = dns;
  if (!PushEnvironment(failure)) {
    state_.dns = nullptr;
    DestroyHeap();
    return kJsEngineFailed;
  }
  ++heap_evaluations_;
  duk_context* env = duk_get_context(ctx_, -1);

  const int64_t now = Tav::TimeTicks::Now();
  const std::string* cached = cache_.find(script, now);
  EvaluateJob job{
      {script.data(), script.size()},
      {cached != nullptr ? cached->data() : nullptr, cached != nullptr ? cached->size() : 0},
      {url.data(), url.size()},
      {host.data(), host.size()},
      call_entry,
      dns_aware_ ? "findProxyForURL" : "FindProxyForURL",
      js_stage_t::none};
  const duk_int_t rc = duk_safe_call(env, EvaluateProtected, &job, 0, 1);
  // What the script threw is described while the bounds still hold: turning
  // it into text may run the script's own toString and getters.
  std::string description;
  if (rc != DUK_EXEC_SUCCESS && !BoundHit()) {
    description = DescribeError(env, job.stage != js_stage_t::find);
  }
  const Bounds bounds = StopBudget();
  state_.dns = nullptr;
  if (cached == nullptr && job.stage != js_stage_t::parse) {
    std::string compiled = TakeDump(env);
    if (!compiled.empty()) cache_.insert(script, std::move(compiled), now);
  }
  if (!dns_aware_) js_engine_counters::set_cached_scripts(static_cast<int64_t>(cache_.size()));

  int32_t status = kJsOk;
  bool rebuild = false;
  // A lookup that ran the evaluation out of time answers "not found", and
  // the script may return before the executor's next check: its answer
  // rests on names it could not look up, so it fails at the bound.
  const bool late = dns_aware_ && bounds.expired;
  if (rc != DUK_EXEC_SUCCESS || late) {
    status = kJsEngineFailed;
    if (bounds.hit()) {
      FailAtBound(limits, bounds, failure);
      // An interrupted script leaves only its environment behind, garbage
      // like any other; a script at a bound may have filled the heap.
      rebuild = !bounds.interrupted;
    } else {
      failure.stage = job.stage;
      failure.message = std::move(description);
    }
  } else if (call_entry && !duk_is_string(env, -1)) {
    status = kJsEngineFailed;
    failure.stage = js_stage_t::result;
    failure.message =
        std::string(job.entry) + " returned " + TypeName(env, -1) + " instead of a string";
  } else if (call_entry) {
    duk_size_t size = 0;
    const char* text = duk_get_lstring(env, -1, &size);
    result->assign(text != nullptr ? text : "", text != nullptr ? size : 0);
    failure.dns_blind = job.dns_blind;
  }
  const std::size_t evaluation_peak = state_.peak;
  duk_set_top(env, 0);
  duk_pop(ctx_);  // the environment becomes garbage
  if (rebuild || heap_evaluations_ >= kRebuildEvaluations ||
      state_.used + pool_->cached_bytes() > kRebuildBytes) {
    DestroyHeap();
  }
  NoteLiveBytes();
  if (!dns_aware_) {
    js_engine_counters::note_evaluation_bytes(static_cast<int64_t>(evaluation_peak));
  }
  return status;
}

}  // namespace

std::string js_engine_text(std::string_view text) {
  if (klb::is_utf8(text)) return std::string(text);
  return klb::latin1_to_utf8(text);
}

int32_t js_evaluate(std::string_view script, std::string_view url, std::string_view host,
                    std::string& result, js_failure_t& failure) {
  Engine& engine = Engine::Instance();
  std::lock_guard<std::mutex> lock(engine.mutex());
  return engine.Evaluate(script, url, host, true, &result, failure);
}

int32_t js_evaluate_dns(std::string_view script, std::string_view url, std::string_view host,
                        js_dns_t& dns, std::string& result, js_failure_t& failure) {
  Engine& engine = Engine::DnsInstance();
  std::lock_guard<std::mutex> lock(engine.mutex());
  return engine.Evaluate(script, url, host, true, &result, failure, &dns);
}

int32_t js_check_script(std::string_view script, js_failure_t& failure) {
  Engine& engine = Engine::Instance();
  std::lock_guard<std::mutex> lock(engine.mutex());
  return engine.Evaluate(script, {}, {}, false, nullptr, failure);
}

void js_engine_prepare() {
  Engine::Instance().Prepare();
}

void js_engine_reset() {
  for (Engine* engine : {&Engine::Instance(), &Engine::DnsInstance()}) {
    std::lock_guard<std::mutex> lock(engine->mutex());
    engine->Reset();
  }
}

}  // namespace OVProxy
