// The Windows engine (Active Scripting with JScript): COM is left as it was
// found on every path, failed evaluations leak nothing, runs from threads
// of different apartments are served one after the other, a script that
// never returns is interrupted at the time bound, and a PAC in the ANSI code
// page loads.
#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_limits.h"
#include "js_test_util.h"

namespace OVProxy {
namespace {

using jstest::Entry;
using jstest::Evaluate;
using jstest::Outcome;
using jstest::ScopedLimits;

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int64_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return static_cast<int64_t>(counters.PagefileUsage);
}

// One script for every way an evaluation can end.
struct Ending {
  const char* name;
  std::string script;
  js_stage_t stage;
};

std::vector<Ending> Endings() {
  return {
      {"answer", Entry("return 'PROXY p:1';"), js_stage_t::none},
      {"parse", "function FindProxyForURL(url, host) { return ( }", js_stage_t::parse},
      {"start", "throw new Error('at load');\n" + Entry("return '';"), js_stage_t::start},
      {"find", "var FindProxyForURL = 1;", js_stage_t::find},
      {"call", Entry("return undefinedName;"), js_stage_t::call},
      {"result", Entry("return 1;"), js_stage_t::result},
  };
}

enum class Apartment { none, single, multi };

// Runs `ending` on a new thread that is in `apartment`, and tells whether
// the thread's COM state afterwards is what it was before.
bool ComLeftAsFound(Apartment apartment, const Ending& ending) {
  bool same = false;
  std::thread thread([&] {
    if (apartment == Apartment::single) CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (apartment == Apartment::multi) CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const Outcome out = Evaluate(ending.script);
    EXPECT_EQ(out.failure.stage, ending.stage) << ending.name << ": " << out.failure.message;
    // S_OK: no apartment was left behind; S_FALSE: the caller's apartment
    // is still there; RPC_E_CHANGED_MODE: an apartment of the other kind
    // is.
    switch (apartment) {
      case Apartment::none: {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        same = hr == S_OK;
        if (SUCCEEDED(hr)) CoUninitialize();
        break;
      }
      case Apartment::single:
      case Apartment::multi: {
        const HRESULT hr =
            CoInitializeEx(nullptr, apartment == Apartment::single ? COINIT_APARTMENTTHREADED
                                                                   : COINIT_MULTITHREADED);
        same = hr == S_FALSE;
        if (SUCCEEDED(hr)) CoUninitialize();
        CoUninitialize();  // the caller's own
        break;
      }
    }
  });
  thread.join();
  return same;
}

TEST(JsJscript, ComIsLeftAsFoundOnEveryPath) {
  for (Apartment apartment : {Apartment::none, Apartment::single, Apartment::multi}) {
    for (const Ending& ending : Endings()) {
      EXPECT_TRUE(ComLeftAsFound(apartment, ending))
          << ending.name << " in apartment " << static_cast<int>(apartment);
    }
  }
}

TEST(JsJscript, EvaluationsLeakNothing) {
  const std::vector<Ending> endings = Endings();
  auto run_all = [&](int rounds) {
    for (int i = 0; i < rounds; ++i) {
      for (const Ending& ending : endings) Evaluate(ending.script);
    }
  };
  run_all(20);  // the system's own caches fill first
  const int64_t before = PrivateBytes();
  run_all(100);
  // 600 evaluations: an engine left unreleased adds about 10 KiB each, one
  // left open too about 100 KiB, a program text about 17 KiB.
  EXPECT_LT(PrivateBytes() - before, int64_t{2} << 20);
}

TEST(JsJscript, RunsFromDifferentApartmentsAreServedOneAfterAnother) {
  js_engine_reset_peak();
  std::atomic<int> answered{0};
  auto serve = [&](DWORD apartment, const std::string& host) {
    CoInitializeEx(nullptr, apartment);
    for (int i = 0; i < 20; ++i) {
      answered +=
          Evaluate(Entry("return 'PROXY ' + host + ':80';"), "http://" + host + "/", host).result ==
                  "PROXY " + host + ":80"
              ? 1
              : 0;
    }
    CoUninitialize();
  };
  std::thread single(serve, COINIT_APARTMENTTHREADED, "single");
  std::thread multi(serve, COINIT_MULTITHREADED, "multi");
  single.join();
  multi.join();
  EXPECT_EQ(answered.load(), 40);
  EXPECT_EQ(js_engine_stats().peak_running, 1);
}

TEST(JsJscript, ScriptsThatNeverReturnAreInterruptedAtTheTimeBound) {
  if (UnderWine()) {
    GTEST_SKIP() << "Wine's JScript answers E_NOTIMPL to IActiveScript::InterruptScriptThread and "
                    "never polls IActiveScriptSiteInterruptPoll, so a script that never returns "
                    "cannot be stopped there";
  }
  ScopedLimits limits({200, kJsDefaultHeapLimitBytes});
  const std::string scripts[] = {
      Entry("while (true) {}"),
      // Catching what the interrupt throws does not buy more time.
      Entry("for (;;) { try { while (true) {} } catch (e) {} }"),
      "while (true) {}\n" + Entry("return '';"),
  };
  for (const std::string& script : scripts) {
    const Outcome out = Evaluate(script);
    EXPECT_EQ(out.status, 999) << script;
    EXPECT_EQ(out.failure.stage, js_stage_t::time_limit) << script << ": " << out.failure.message;
  }
  EXPECT_EQ(Evaluate(Entry("return 'DIRECT';")).result, "DIRECT");
}

TEST(JsJscript, APacInTheAnsiCodePageLoads) {
  if (GetACP() != 1252) GTEST_SKIP() << "the test's text is in code page 1252";
  // "é" as one byte: not UTF-8, so read in the ANSI code page.
  const Outcome out = Evaluate(Entry("return '\xE9\x80';"));
  EXPECT_EQ(out.status, 0) << out.failure.message;
  EXPECT_EQ(out.result, "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(js_engine_text("caf\xE9"), "caf\xC3\xA9");
}

}  // namespace
}  // namespace OVProxy
