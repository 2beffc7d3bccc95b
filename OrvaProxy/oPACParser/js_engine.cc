#include "OrvaProxy/oPACParser/js_engine.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "OrvaProxy/oPACParser/js_limits.h"
#include "OrvaProxy/oPACParser/pac_prelude.h"
#include "OrvaProxy/ov_log.h"
#include "duktape.h"
#include "ov_duk_hooks.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {
namespace {

std::atomic<int64_t> g_live_heaps{0};
std::atomic<int64_t> g_peak_live_heaps{0};
std::atomic<int64_t> g_live_bytes{0};
std::atomic<int64_t> g_evaluations{0};

// Heap user data. The time budget must come first: the engine's time-out
// hook reads the user data as an ov_duk_budget.
struct HeapState {
  ov_duk_budget budget;
  std::size_t limit;  // 0 = no cap
  std::size_t used;
  bool refused;     // an allocation was refused for the cap
  int alerts_left;  // alert() lines this evaluation may still write
};
static_assert(std::is_standard_layout_v<HeapState>);
static_assert(offsetof(HeapState, budget) == 0);

// Every block carries its size in front, so the cap can be kept exactly.
constexpr std::size_t kHeader = alignof(std::max_align_t);
static_assert(kHeader >= sizeof(std::size_t));

bool Admit(HeapState& state, std::size_t grow) {
  if (state.limit != 0 && (state.used > state.limit || grow > state.limit - state.used)) {
    state.refused = true;
    return false;
  }
  return true;
}

void Account(HeapState& state, std::size_t old_size, std::size_t new_size) {
  state.used = state.used - old_size + new_size;
  g_live_bytes.fetch_add(static_cast<int64_t>(new_size) - static_cast<int64_t>(old_size),
                         std::memory_order_relaxed);
}

void* HeapAlloc(void* udata, duk_size_t size) {
  auto& state = *static_cast<HeapState*>(udata);
  if (size == 0 || size > SIZE_MAX - kHeader || !Admit(state, size)) return nullptr;
  auto* base = static_cast<unsigned char*>(std::malloc(kHeader + size));
  if (base == nullptr) return nullptr;
  std::memcpy(base, &size, sizeof(std::size_t));
  Account(state, 0, size);
  return base + kHeader;
}

void HeapFree(void* udata, void* ptr) {
  if (ptr == nullptr) return;
  auto& state = *static_cast<HeapState*>(udata);
  unsigned char* base = static_cast<unsigned char*>(ptr) - kHeader;
  std::size_t size = 0;
  std::memcpy(&size, base, sizeof(std::size_t));
  Account(state, size, 0);
  std::free(base);
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
  auto* grown = static_cast<unsigned char*>(std::realloc(base, kHeader + size));
  if (grown == nullptr) return nullptr;  // the old block stays valid
  std::memcpy(grown, &size, sizeof(std::size_t));
  Account(state, old_size, size);
  return grown + kHeader;
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

// alert(message): one information line in the memory log, nothing else.
duk_ret_t Alert(duk_context* ctx) {
  duk_memory_functions functions;
  duk_get_memory_functions(ctx, &functions);
  auto* state = static_cast<HeapState*>(functions.udata);
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

// One engine heap, destroyed with this object.
class Heap {
 public:
  explicit Heap(const js_limits_t& limits) {
    state_.budget.deadline_us =
        limits.time_ms > 0 ? Tav::TimeTicks::Now() + limits.time_ms * 1000 : 0;
    state_.budget.expired = false;
    state_.limit = limits.heap_bytes;
    state_.used = 0;
    state_.refused = false;
    state_.alerts_left = kJsMaxAlertsPerEvaluation;
    ctx_ = duk_create_heap(HeapAlloc, HeapRealloc, HeapFree, &state_, FatalHandler);
    if (ctx_ == nullptr) return;
    const int64_t live = g_live_heaps.fetch_add(1) + 1;
    int64_t peak = g_peak_live_heaps.load();
    while (live > peak && !g_peak_live_heaps.compare_exchange_weak(peak, live)) {
    }
  }
  ~Heap() {
    if (ctx_ == nullptr) return;
    duk_destroy_heap(ctx_);
    g_live_heaps.fetch_sub(1);
  }
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;

  duk_context* ctx() const { return ctx_; }
  const HeapState& state() const { return state_; }

 private:
  HeapState state_{};
  duk_context* ctx_ = nullptr;
};

// Inputs and progress of one evaluation, shared with the protected call. It
// holds only plain pointers: nothing with a destructor may live in a frame
// the engine can unwind with longjmp.
struct Job {
  const char* program;
  std::size_t program_size;
  const char* url;
  std::size_t url_size;
  const char* host;
  std::size_t host_size;
  bool call_entry;
  js_stage_t stage;
};

duk_ret_t EvaluateProtected(duk_context* ctx, void* udata) {
  auto* job = static_cast<Job*>(udata);
  // Scripts get standard ECMAScript built-ins only: no engine object (which
  // could set finalizers or force collections) and no real-time clock.
  duk_push_global_object(ctx);
  duk_del_prop_string(ctx, -1, "Duktape");
  duk_del_prop_string(ctx, -1, "performance");
  duk_push_c_function(ctx, Alert, 1);
  duk_put_prop_string(ctx, -2, "alert");
  duk_pop(ctx);
  job->stage = js_stage_t::parse;
  duk_push_lstring(ctx, job->program, job->program_size);
  duk_push_string(ctx, "pac");
  duk_compile(ctx, 0);
  job->stage = js_stage_t::start;
  duk_call(ctx, 0);
  duk_pop(ctx);
  if (!job->call_entry) {
    duk_push_undefined(ctx);
    return 1;
  }
  job->stage = js_stage_t::find;
  if (!duk_get_global_string(ctx, "FindProxyForURL") || !duk_is_callable(ctx, -1)) {
    return duk_error(ctx, DUK_ERR_TYPE_ERROR, "FindProxyForURL is not a function");
  }
  job->stage = js_stage_t::call;
  duk_push_lstring(ctx, job->url, job->url_size);
  duk_push_lstring(ctx, job->host, job->host_size);
  duk_call(ctx, 2);
  job->stage = js_stage_t::result;
  return 1;
}

// [... error] -> [... text]; the error's line number goes to *udata (0 if
// none). A safe call runs in its caller's stack frame, so the argument is
// addressed from the top.
duk_ret_t DescribeProtected(duk_context* ctx, void* udata) {
  auto* line = static_cast<duk_int_t*>(udata);
  *line = 0;
  const duk_idx_t error = duk_normalize_index(ctx, -1);
  if (duk_is_error(ctx, error)) {
    duk_get_prop_string(ctx, error, "lineNumber");
    if (duk_is_number(ctx, -1)) *line = duk_get_int(ctx, -1);
    duk_pop(ctx);
  }
  duk_safe_to_string(ctx, error);
  return 1;
}

std::string LineText(int program_line) {
  const int prelude = pac_prelude_lines();
  if (program_line > prelude) return "PAC line " + std::to_string(program_line - prelude);
  return "prelude line " + std::to_string(program_line);
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
  // Compile errors carry "(line N)" of the whole program in their text.
  const std::size_t at = message.rfind("(line ");
  if (at != std::string::npos) {
    const std::size_t end = message.find(')', at);
    const int program_line = std::atoi(message.c_str() + at + 6);
    if (end != std::string::npos && program_line > 0) {
      message.replace(at, end - at + 1, "(" + LineText(program_line) + ")");
      return message;
    }
  }
  if (with_line && line > 0) message += " (" + LineText(line) + ")";
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

int32_t Evaluate(std::string_view script, std::string_view url, std::string_view host,
                 bool call_entry, std::string* result, js_failure_t& failure) {
  const js_limits_t limits = js_current_limits();
  std::string program;
  program.reserve(kPacPrelude.size() + script.size());
  program.append(kPacPrelude).append(script);

  g_evaluations.fetch_add(1, std::memory_order_relaxed);
  Heap heap(limits);
  duk_context* ctx = heap.ctx();
  if (ctx == nullptr) {
    failure.stage = js_stage_t::create;
    failure.message = "the script engine could not be created";
    return kJsEngineFailed;
  }
  Job job{program.data(), program.size(), url.data(), url.size(),
          host.data(),    host.size(),    call_entry, js_stage_t::none};
  const duk_int_t rc = duk_safe_call(ctx, EvaluateProtected, &job, 0, 1);
  if (rc != DUK_EXEC_SUCCESS) {
    if (heap.state().budget.expired) {
      failure.stage = js_stage_t::time_limit;
      failure.message = "the script ran longer than " + std::to_string(limits.time_ms) + " ms";
    } else if (heap.state().refused) {
      failure.stage = js_stage_t::heap_limit;
      failure.message =
          "the script needed more than " + std::to_string(limits.heap_bytes) + " bytes of heap";
    } else {
      failure.stage = job.stage;
      failure.message = DescribeError(ctx, job.stage != js_stage_t::find);
    }
    return kJsEngineFailed;
  }
  if (!call_entry) return kJsOk;
  if (!duk_is_string(ctx, -1)) {
    failure.stage = js_stage_t::result;
    failure.message =
        std::string("FindProxyForURL returned ") + TypeName(ctx, -1) + " instead of a string";
    return kJsEngineFailed;
  }
  duk_size_t size = 0;
  const char* text = duk_get_lstring(ctx, -1, &size);
  result->assign(text != nullptr ? text : "", text != nullptr ? size : 0);
  return kJsOk;
}

bool IsWellFormedUtf8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra = 0;
    uint32_t min = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

const char* js_stage_name(js_stage_t stage) {
  switch (stage) {
    case js_stage_t::none:
      return "none";
    case js_stage_t::load:
      return "load";
    case js_stage_t::create:
      return "create";
    case js_stage_t::parse:
      return "parse";
    case js_stage_t::start:
      return "start";
    case js_stage_t::find:
      return "find";
    case js_stage_t::call:
      return "call";
    case js_stage_t::result:
      return "result";
    case js_stage_t::time_limit:
      return "time_limit";
    case js_stage_t::heap_limit:
      return "heap_limit";
  }
  return "unknown";
}

std::string js_engine_text(std::string_view text) {
  if (IsWellFormedUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

int32_t js_evaluate(std::string_view script, std::string_view url, std::string_view host,
                    std::string& result, js_failure_t& failure) {
  return Evaluate(script, url, host, true, &result, failure);
}

int32_t js_check_script(std::string_view script, js_failure_t& failure) {
  return Evaluate(script, {}, {}, false, nullptr, failure);
}

js_engine_stats_t js_engine_stats() {
  return js_engine_stats_t{g_live_heaps.load(), g_peak_live_heaps.load(), g_live_bytes.load(),
                           g_evaluations.load()};
}

void js_engine_reset_peak() {
  g_peak_live_heaps.store(g_live_heaps.load());
}

}  // namespace OVProxy
