// The PAC engine on Windows: Active Scripting with the JScript engine, a new
// engine for every evaluation (see js_engine.h for the contract).
#include <windows.h>

#include <activscp.h>
#include <oleauto.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaProxy/oPACParser/js_active_script_site.h"
#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_engine_counters.h"
#include "OrvaProxy/oPACParser/js_interrupt.h"
#include "OrvaProxy/oPACParser/js_limits.h"
#include "OrvaProxy/oPACParser/js_wide_text.h"
#include "OrvaProxy/oPACParser/pac_prelude.h"
#include "OrvaProxy/ov_log.h"
#include "klbutil/klb_string.h"

namespace OVProxy {
namespace {

constexpr IID kIidActiveScript = {
    0xbb1a2ae1, 0xa4f9, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
constexpr IID kIidActiveScriptParse64 = {
    0xc7ef7658, 0xe1ee, 0x480e, {0x97, 0xea, 0xd5, 0x2c, 0xb4, 0xd7, 0x6d, 0x17}};
constexpr LCID kLocale = LOCALE_SYSTEM_DEFAULT;

// How often the process's memory is looked at while a script runs.
constexpr DWORD kHeapPollMs = 25;

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// The process's commit charge (its private bytes); 0 when the system does
// not tell.
int64_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    return 0;
  }
  return static_cast<int64_t>(counters.PagefileUsage);
}

// COM on the calling thread for one evaluation. On a thread already in the
// multithreaded apartment CoInitialize fails; the evaluation runs in that
// apartment and nothing is uninitialised.
class ComScope {
 public:
  ComScope() : hr_(CoInitialize(nullptr)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT hr_;
};

// The interfaces of one engine, released in a fixed order: the script's
// dispatch object, the parser, then the engine, closed first.
struct EngineRefs {
  IActiveScript* engine = nullptr;
  IActiveScriptParse64* parse = nullptr;
  IDispatch* dispatch = nullptr;

  EngineRefs() = default;
  EngineRefs(const EngineRefs&) = delete;
  EngineRefs& operator=(const EngineRefs&) = delete;
  ~EngineRefs() {
    if (dispatch != nullptr) dispatch->Release();
    if (parse != nullptr) parse->Release();
    if (engine != nullptr) {
      engine->Close();
      engine->Release();
    }
  }
};

// A thread-pool timer that first fires after `due_ms` and then every
// `period_ms` (0: once); null when none could be made.
PTP_TIMER StartTimer(PTP_TIMER_CALLBACK callback, void* context, int64_t due_ms, DWORD period_ms) {
  PTP_TIMER timer = CreateThreadpoolTimer(callback, context, nullptr);
  if (timer == nullptr) return nullptr;
  LARGE_INTEGER due;
  due.QuadPart = -std::clamp<int64_t>(due_ms, 1, int64_t{1} << 40) * 10'000;  // relative, 100 ns
  FILETIME due_time{due.LowPart, static_cast<DWORD>(due.HighPart)};
  SetThreadpoolTimer(timer, &due_time, period_ms, 0);
  return timer;
}

// Cancels the timer and waits for a callback that is running.
void StopTimer(PTP_TIMER& timer) {
  if (timer == nullptr) return;
  SetThreadpoolTimer(timer, nullptr, 0, 0);
  WaitForThreadpoolTimerCallbacks(timer, TRUE);
  CloseThreadpoolTimer(timer);
  timer = nullptr;
}

// Stops the engine's script once the evaluation passes its time budget, the
// process has grown by more than the heap cap since it began, or the
// evaluation's caller interrupts it (js_interrupt.h, looked at with the
// heap every 25 ms). The
// checks run on thread-pool threads; disarming waits for a callback that is
// running, so the engine outlives every call the watchdog makes into it.
// Whatever the engine does with the interrupt, a bound that was passed
// fails the evaluation.
class Watchdog {
 public:
  Watchdog(IActiveScript* engine, const js_limits_t& limits)
      : engine_(engine), limits_(limits), interrupt_(js_current_interrupt()) {
    if (limits.time_ms > 0) time_timer_ = StartTimer(&Watchdog::OnTime, this, limits.time_ms, 0);
    if (limits.heap_bytes > 0) base_bytes_ = PrivateBytes();
    if (base_bytes_ > 0 || interrupt_ != nullptr) {
      poll_timer_ = StartTimer(&Watchdog::OnPoll, this, kHeapPollMs, kHeapPollMs);
    }
  }
  ~Watchdog() { Disarm(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Waits for running checks; none starts afterwards.
  void Disarm() {
    StopTimer(time_timer_);
    StopTimer(poll_timer_);
  }

  // After Disarm, for an evaluation that went through: the growth at the
  // end counts too, so a script that ends between two polls (or runs where
  // the engine cannot be interrupted) is held to the cap all the same.
  void FinalCheck() {
    if (base_bytes_ > 0) SampleHeap(false);
  }

  // js_stage_t::none, time_limit, heap_limit or interrupted.
  js_stage_t passed() const { return passed_.load(std::memory_order_acquire); }
  // Most growth of the process's private bytes seen.
  int64_t growth() const { return growth_.load(std::memory_order_relaxed); }

 private:
  static void CALLBACK OnTime(PTP_CALLBACK_INSTANCE, void* self, PTP_TIMER) {
    static_cast<Watchdog*>(self)->Stop(js_stage_t::time_limit, true);
  }
  static void CALLBACK OnPoll(PTP_CALLBACK_INSTANCE, void* self, PTP_TIMER) {
    auto* watchdog = static_cast<Watchdog*>(self);
    if (watchdog->interrupt_ != nullptr && watchdog->interrupt_->load(std::memory_order_acquire)) {
      watchdog->Stop(js_stage_t::interrupted, true);
    }
    if (watchdog->base_bytes_ > 0) watchdog->SampleHeap(true);
  }

  void SampleHeap(bool interrupt) {
    const int64_t growth = PrivateBytes() - base_bytes_;
    js_engine_counters::raise_to(growth_, growth);
    if (growth > static_cast<int64_t>(limits_.heap_bytes)) Stop(js_stage_t::heap_limit, interrupt);
  }

  void Stop(js_stage_t why, bool interrupt) {
    js_stage_t none = js_stage_t::none;
    if (!passed_.compare_exchange_strong(none, why, std::memory_order_acq_rel)) return;
    if (!interrupt) return;
    js_site_request_stop();
    const HRESULT hr = engine_->InterruptScriptThread(SCRIPTTHREADID_BASE, nullptr, 0);
    if (FAILED(hr)) {
      try {
        ovLog(LogLevel::kWarning, "PACENG_INTR",
              "js_engine: the script could not be interrupted at its bound - hr=" + Hex(hr));
      } catch (...) {
        // Best effort: the evaluation fails at the bound anyway.
      }
    }
  }

  IActiveScript* engine_;
  const js_limits_t limits_;
  const std::atomic<bool>* const interrupt_;
  PTP_TIMER time_timer_ = nullptr;
  PTP_TIMER poll_timer_ = nullptr;
  int64_t base_bytes_ = 0;
  std::atomic<int64_t> growth_{0};
  std::atomic<js_stage_t> passed_{js_stage_t::none};
};

// "PAC line N" for a 0-based line of the program text (prelude first).
std::string LineText(ULONG program_line) {
  const int64_t line = static_cast<int64_t>(program_line) + 1 - pac_prelude_lines();
  if (line <= 0) return "prelude line " + std::to_string(line + pac_prelude_lines());
  return "PAC line " + std::to_string(line);
}

// What the engine reported, or what the failed call answered.
std::string DescribeFailure(HRESULT hr) {
  std::string message;
  if (js_site_error_count() > 0) {
    const js_script_error_t& error = js_site_first_error();
    message = error.description.empty() ? "script error " + Hex(error.code)
                                        : js_cut_utf8(error.description, kJsMaxErrorMessageBytes);
    if (error.has_line) message += " (" + LineText(error.line) + ")";
    return message;
  }
  return "the script engine failed with " + Hex(hr);
}

const char* VariantTypeName(VARTYPE type) {
  switch (type) {
    case VT_EMPTY:
      return "undefined";
    case VT_NULL:
      return "null";
    case VT_BOOL:
      return "a boolean";
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL:
      return "a number";
    case VT_DATE:
      return "a date";
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return "an object";
    default:
      return "a value that is not a string";
  }
}

const std::wstring& WidePrelude() {
  static const std::wstring prelude(kPacPrelude.begin(), kPacPrelude.end());  // ASCII
  return prelude;
}

// A global of the script: false when the script does not define it, else
// its id and value (VT_EMPTY when it could not be read; the caller clears it).
bool ReadGlobal(IDispatch* dispatch, const wchar_t* name_text, DISPID& id, VARIANT& value) {
  VariantInit(&value);
  std::wstring name_copy(name_text);
  LPOLESTR name = name_copy.data();
  if (dispatch->GetIDsOfNames(IID_NULL, &name, 1, kLocale, &id) != S_OK) return false;
  DISPPARAMS no_args{nullptr, nullptr, 0, 0};
  if (dispatch->Invoke(id, IID_NULL, kLocale, DISPATCH_PROPERTYGET, &no_args, &value, nullptr,
                       nullptr) != S_OK) {
    VariantClear(&value);
  }
  return true;
}

class Evaluation {
 public:
  Evaluation(bool call_entry, js_failure_t& failure) : call_entry_(call_entry), failure_(failure) {}

  int32_t Run(std::string_view script, std::string_view url, std::string_view host,
              std::string* result);

 private:
  // Whether a step went through: it answered S_OK and the engine reported no
  // error meanwhile. Otherwise the failure is filled in for `stage`.
  bool Step(js_stage_t stage, HRESULT hr) {
    if (hr == S_OK && js_site_error_count() == errors_seen_) return true;
    Fail(stage, DescribeFailure(hr));
    return false;
  }
  void Fail(js_stage_t stage, std::string message) {
    failure_.stage = stage;
    failure_.message = std::move(message);
  }
  bool Create(EngineRefs& refs);
  bool FindEntry(EngineRefs& refs, DISPID& entry);
  bool CallEntry(EngineRefs& refs, DISPID entry, const std::wstring& url, const std::wstring& host,
                 std::string* result);
  bool ReadDnsBlind(EngineRefs& refs);

  const bool call_entry_;
  js_failure_t& failure_;
  int errors_seen_ = 0;
};

bool Evaluation::Create(EngineRefs& refs) {
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(L"JScript", &clsid);
  if (hr == S_OK) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                          kIidActiveScript, reinterpret_cast<void**>(&refs.engine));
  }
  if (hr == S_OK) {
    hr =
        refs.engine->QueryInterface(kIidActiveScriptParse64, reinterpret_cast<void**>(&refs.parse));
  }
  if (hr == S_OK) hr = refs.parse->InitNew();
  if (hr == S_OK) hr = refs.engine->SetScriptSite(js_script_site());
  if (hr == S_OK) hr = refs.engine->AddNamedItem(kJsHostItemName, SCRIPTITEM_GLOBALMEMBERS);
  if (hr == S_OK) return true;
  Fail(js_stage_t::create, "the script engine could not be created: " + Hex(hr));
  return false;
}

bool Evaluation::FindEntry(EngineRefs& refs, DISPID& entry) {
  errors_seen_ = js_site_error_count();
  if (!Step(js_stage_t::find, refs.engine->GetScriptDispatch(nullptr, &refs.dispatch))) {
    return false;
  }
  VARIANT value;
  if (!ReadGlobal(refs.dispatch, L"FindProxyForURL", entry, value)) {
    Fail(js_stage_t::find, "FindProxyForURL is not defined");
    return false;
  }
  // Invoking a global that holds no function fails without a word from the
  // engine, so the value is looked at first.
  const bool callable = value.vt == VT_DISPATCH && value.pdispVal != nullptr;
  VariantClear(&value);
  if (!callable) {
    Fail(js_stage_t::find, "FindProxyForURL is not a function");
    return false;
  }
  return true;
}

bool Evaluation::CallEntry(EngineRefs& refs, DISPID entry, const std::wstring& url,
                           const std::wstring& host, std::string* result) {
  // Arguments run backwards: host is element 0, url element 1.
  VARIANT args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  args[0].vt = VT_BSTR;
  args[0].bstrVal = SysAllocStringLen(host.data(), static_cast<UINT>(host.size()));
  args[1].vt = VT_BSTR;
  args[1].bstrVal = SysAllocStringLen(url.data(), static_cast<UINT>(url.size()));
  if (args[0].bstrVal == nullptr || args[1].bstrVal == nullptr) {
    VariantClear(&args[0]);
    VariantClear(&args[1]);
    Fail(js_stage_t::call, "out of memory while passing the arguments");
    return false;
  }
  DISPPARAMS params{args, nullptr, 2, 0};
  VARIANT answer;
  VariantInit(&answer);
  errors_seen_ = js_site_error_count();
  const HRESULT hr = refs.dispatch->Invoke(entry, IID_NULL, kLocale, DISPATCH_METHOD, &params,
                                           &answer, nullptr, nullptr);
  VariantClear(&args[0]);
  VariantClear(&args[1]);
  bool ok = Step(js_stage_t::call, hr);
  if (ok && answer.vt != VT_BSTR) {
    Fail(js_stage_t::result, std::string("FindProxyForURL returned ") + VariantTypeName(answer.vt) +
                                 " instead of a string");
    ok = false;
  }
  if (ok) {
    try {
      *result = js_utf8_text(answer.bstrVal, SysStringLen(answer.bstrVal));
    } catch (...) {
      Fail(js_stage_t::result, "out of memory while taking the answer");
      ok = false;
    }
  }
  VariantClear(&answer);
  return ok;
}

// The prelude's note that the script asked DNS this engine cannot answer.
bool Evaluation::ReadDnsBlind(EngineRefs& refs) {
  DISPID id = DISPID_UNKNOWN;
  VARIANT value;
  if (!ReadGlobal(refs.dispatch, L"__ovDnsBlind", id, value)) return false;
  const bool blind = value.vt == VT_BOOL && value.boolVal != VARIANT_FALSE;
  VariantClear(&value);
  return blind;
}

int32_t Evaluation::Run(std::string_view script, std::string_view url, std::string_view host,
                        std::string* result) {
  const js_limits_t limits = js_current_limits();
  if (js_interrupt_requested()) {
    Fail(js_stage_t::interrupted, "the evaluation was interrupted by its caller");
    return kJsEngineFailed;
  }
  js_site_begin();

  std::optional<std::wstring> program = js_wide_text(script);
  std::optional<std::wstring> wide_url = js_wide_text(url);
  std::optional<std::wstring> wide_host = js_wide_text(host);
  if (!program || !wide_url || !wide_host) {
    Fail(js_stage_t::load, "the script text could not be converted");
    return kJsEngineFailed;
  }
  program->insert(0, WidePrelude());

  ComScope com;
  EngineRefs refs;
  if (!Create(refs)) return kJsEngineFailed;
  js_engine_counters::heap_built();
  struct LiveGuard {
    ~LiveGuard() { js_engine_counters::heap_destroyed(); }
  } live_guard;

  // The bound is the script's: it starts once the engine exists. Creating
  // the engine is the system's part and cannot be interrupted anyway; under
  // load it has taken seconds (Wine), and counting that failed evaluations
  // whose scripts never ran.
  Watchdog watchdog(refs.engine, limits);

  bool ok =
      Step(js_stage_t::parse, refs.parse->ParseScriptText(program->c_str(), nullptr, nullptr,
                                                          nullptr, 0, 0, 0, nullptr, nullptr));
  ok = ok && Step(js_stage_t::start, refs.engine->SetScriptState(SCRIPTSTATE_STARTED));
  std::string answer;
  if (ok && call_entry_) {
    DISPID entry = DISPID_UNKNOWN;
    ok = FindEntry(refs, entry) && CallEntry(refs, entry, *wide_url, *wide_host, &answer);
    if (ok) failure_.dns_blind = ReadDnsBlind(refs);
  }
  watchdog.Disarm();
  if (ok) watchdog.FinalCheck();
  js_engine_counters::note_evaluation_bytes(watchdog.growth());

  const js_stage_t passed = watchdog.passed();
  if (passed == js_stage_t::time_limit) {
    Fail(passed, "the script ran longer than " + std::to_string(limits.time_ms) + " ms");
    return kJsEngineFailed;
  }
  if (passed == js_stage_t::interrupted) {
    Fail(passed, "the evaluation was interrupted by its caller");
    return kJsEngineFailed;
  }
  if (passed == js_stage_t::heap_limit) {
    Fail(passed,
         "the script needed more than " + std::to_string(limits.heap_bytes) + " bytes of heap");
    return kJsEngineFailed;
  }
  if (!ok) return kJsEngineFailed;
  if (call_entry_) *result = std::move(answer);
  return kJsOk;
}

std::mutex& EngineMutex() {
  static std::mutex* mutex = new std::mutex();  // lives until the process ends
  return *mutex;
}

int32_t Evaluate(std::string_view script, std::string_view url, std::string_view host,
                 bool call_entry, std::string* result, js_failure_t& failure) {
  std::lock_guard<std::mutex> lock(EngineMutex());
  const js_engine_counters::running_evaluation running;
  try {
    return Evaluation(call_entry, failure).Run(script, url, host, result);
  } catch (const std::bad_alloc&) {
    failure.stage = js_stage_t::create;
    failure.message = "out of memory while running the script";
    return kJsEngineFailed;
  }
}

}  // namespace

std::string js_engine_text(std::string_view text) {
  if (klb::is_utf8(text)) return std::string(text);
  // The ANSI code page, as a PAC saved by a Windows editor is meant.
  if (std::optional<std::wstring> wide = js_wide_text(text)) {
    return js_utf8_text(wide->data(), wide->size());
  }
  return klb::latin1_to_utf8(text);
}

int32_t js_evaluate(std::string_view script, std::string_view url, std::string_view host,
                    std::string& result, js_failure_t& failure) {
  return Evaluate(script, url, host, true, &result, failure);
}

// The system's own WinHTTP evaluates the service's scripts on Windows, with
// its own DNS helpers; this engine offers scripts no host functions.
int32_t js_evaluate_dns(std::string_view script, std::string_view url, std::string_view host,
                        js_dns_t&, std::string& result, js_failure_t& failure) {
  return Evaluate(script, url, host, true, &result, failure);
}

int32_t js_check_script(std::string_view script, js_failure_t& failure) {
  return Evaluate(script, {}, {}, false, nullptr, failure);
}

// Every evaluation builds its engine; nothing can be made ahead of time.
void js_engine_prepare() {}

// Nothing is kept between evaluations.
void js_engine_reset() {}

}  // namespace OVProxy
