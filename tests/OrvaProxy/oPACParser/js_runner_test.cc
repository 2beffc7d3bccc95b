// js_runner_t on either engine: statuses and failures, the alert host
// function, the time and heap bounds, isolation between runs and serialisation of
// concurrent runs. Engine-specific cases are in js_engine_duktape_test.cc
// and js_engine_jscript_test.cc.
#include "OrvaProxy/oPACParser/js_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_limits.h"
#include "js_test_util.h"
#include "ovtest/log_capture.h"

namespace OVProxy {
namespace {

using jstest::Entry;
using jstest::Evaluate;
using jstest::ExpectEngineClean;
using jstest::kUrl;
using jstest::Outcome;
using jstest::ScopedLimits;

// A JavaScript expression for `text` doubled `times` times.
std::string Doubled(const std::string& text, int times) {
  return "(function () { var s = '" + text + "'; for (var i = 0; i < " + std::to_string(times) +
         "; i++) s += s; return s; })()";
}

TEST(JsRunner, Statuses) {
  struct Case {
    std::string script;
    int32_t status;
    const char* result;
    js_stage_t stage;
  };
  const Case cases[] = {
      {"", 811, "<untouched>", js_stage_t::load},
      {Entry("return url + '|' + host;"), 0, "http://www.example.com/x|www.example.com",
       js_stage_t::none},
      {Entry("return '';"), 0, "", js_stage_t::none},
      {Entry("return null;"), 999, "<untouched>", js_stage_t::result},
      {Entry("return 5;"), 999, "<untouched>", js_stage_t::result},
      {Entry("return {};"), 999, "<untouched>", js_stage_t::result},
      {"var FindProxyForURL = 'DIRECT';", 999, "<untouched>", js_stage_t::find},
      {"function FindProxyForURLEx(url, host) { return 'DIRECT'; }", 999, "<untouched>",
       js_stage_t::find},
      {"function FindProxyForURL(url, host) { return ( }", 999, "<untouched>", js_stage_t::parse},
      {"throw new Error('at load'); " + Entry("return '';"), 999, "<untouched>", js_stage_t::start},
      {Entry("return undefinedName;"), 999, "<untouched>", js_stage_t::call},
      {Entry("return timeRange(1, 2, 3);"), 999, "<untouched>", js_stage_t::call},
      // A script's own helpers replace the prelude's, shExpMatch included.
      {"function shExpMatch(s, p) { return 'own'; }\n" + Entry("return shExpMatch('a', 'a');"), 0,
       "own", js_stage_t::none},
  };
  for (const Case& c : cases) {
    const Outcome out = Evaluate(c.script);
    EXPECT_EQ(out.status, c.status) << c.script;
    EXPECT_EQ(out.result, c.result) << c.script;
    EXPECT_EQ(out.failure.stage, c.stage) << c.script << ": " << out.failure.message;
  }
  ExpectEngineClean();
}

TEST(JsRunner, FailuresTellTheLineOfThePacFile) {
  const Outcome out = Evaluate(
      "// PAC line 1\n"
      "function FindProxyForURL(url, host) {\n"
      "  return undefinedName;\n"
      "}\n");
  EXPECT_EQ(out.failure.stage, js_stage_t::call);
  EXPECT_NE(out.failure.message.find("undefinedName"), std::string::npos) << out.failure.message;
  EXPECT_NE(out.failure.message.find("(PAC line 3)"), std::string::npos) << out.failure.message;
}

TEST(JsRunner, ErrorMessagesAreCapped) {
  // An 8 MiB error message does not become an 8 MiB failure message.
  const Outcome huge = Evaluate(Entry("throw new Error(" + Doubled("x", 23) + ");"));
  EXPECT_EQ(huge.status, 999);
  EXPECT_LE(huge.failure.message.size(), kJsMaxErrorMessageBytes + 32);
  EXPECT_NE(huge.failure.message.find("xxxx..."), std::string::npos);
}

TEST(JsRunner, AlertWritesACutLineToTheLogAndNothingMore) {
  ovtest::LogCapture log;
  const Outcome out = Evaluate(Entry("var s = " + Doubled("y", 13) +
                                     "; var r = 'unset';"
                                     " for (var i = 0; i < 100; i++) r = alert(s);"
                                     " alert('one ' + 1 + ' ' + true + ' ' + null);"
                                     " return typeof r;"));
  EXPECT_EQ(out.status, 0) << out.failure.message;
  EXPECT_EQ(out.result, "undefined");
  std::size_t lines = 0;
  for (const klb::LogRecord& record : log.Records()) {
    if (record.message.find("alert") == std::string::npos) continue;
    ++lines;
    EXPECT_EQ(record.level, klb::LogLevel::kInfo);
    EXPECT_LE(record.message.size(), kJsMaxAlertBytes + 64);
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kJsMaxAlertsPerEvaluation));
  EXPECT_FALSE(log.Contains("one 1 true null"));  // over the line budget

  ovtest::LogCapture fresh;  // every evaluation has its own budget
  const Outcome again =
      Evaluate(Entry("alert('one ' + 1 + ' ' + true + ' ' + null);"
                     " if (typeof alert != 'undefined') alert('guarded');"
                     " var log = alert; log('through a variable'); return '';"));
  EXPECT_EQ(again.status, 0) << again.failure.message;
  EXPECT_TRUE(fresh.Contains("one 1 true null", klb::LogLevel::kInfo)) << fresh.Dump();
  EXPECT_TRUE(fresh.Contains("guarded")) << fresh.Dump();
  EXPECT_TRUE(fresh.Contains("through a variable")) << fresh.Dump();
}

TEST(JsRunner, TextIsUtf8InAndOut) {
  const Outcome out = Evaluate(Entry("return '\xC3\xA9' + host + '\xE2\x82\xAC';"),
                               "http://h\xC3\xA9/", "h\xC3\xA9");
  EXPECT_EQ(out.status, 0) << out.failure.message;
  EXPECT_EQ(out.result, "\xC3\xA9h\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(Evaluate(Entry("return String(host.length);"), kUrl, "h\xC3\xA9").result, "2");
}

TEST(JsRunner, NothingOfAScriptSurvivesTheRun) {
  const std::string script =
      "var runs = (typeof runs == 'number') ? runs + 1 : 1;\n"
      "var patched = Object.prototype.patched === true;\n"
      "Object.prototype.patched = true;\n"
      "String.prototype.charAt = function () { return 'hijacked'; };\n"
      "Array = null;\n"
      "shExpMatch = function () { return true; };\n" +
      Entry("return runs + ' ' + patched + ' ' + 'a'.charAt(0);");
  const std::string probe = Entry(
      "return typeof runs + ' ' + 'a'.charAt(0) + ' ' + typeof Array + ' ' + shExpMatch('a', "
      "'b');");
  // The same with environments built on demand and built ahead of time
  // (where the engine builds them ahead at all).
  for (bool prepared : {false, true}) {
    if (prepared) js_engine_prepare();
    EXPECT_EQ(Evaluate(script).result, "1 false hijacked");
    if (prepared) js_engine_prepare();
    EXPECT_EQ(Evaluate(script).result, "1 false hijacked");
    if (prepared) js_engine_prepare();
    EXPECT_EQ(Evaluate(probe).result, "undefined a function false");
  }
}

TEST(JsRunnerBounds, AScriptPastItsTimeBoundFails) {
  ScopedLimits limits({100, kJsDefaultHeapLimitBytes});
  // Ends on its own after 300 ms, so the bound holds whether the engine can
  // stop a running script or not.
  const Outcome out =
      Evaluate(Entry("var end = new Date().getTime() + 300; while (new Date().getTime() < end) {}"
                     " return 'late';"));
  EXPECT_EQ(out.status, 999);
  EXPECT_EQ(out.failure.stage, js_stage_t::time_limit) << out.failure.message;
  EXPECT_EQ(out.result, "<untouched>");
  ExpectEngineClean();
}

TEST(JsRunnerBounds, AScriptOverItsHeapCapFails) {
  ScopedLimits limits({10'000, std::size_t{4} << 20});
  // Ends on its own with well over 4 MiB in use, so the cap holds whether the
  // engine can stop a running script or not.
  const Outcome out =
      Evaluate(Entry("var a = []; for (var i = 0; i < 300000; i++) a.push('entry number ' + i);"
                     " return String(a.length);"));
  EXPECT_EQ(out.status, 999);
  EXPECT_EQ(out.failure.stage, js_stage_t::heap_limit) << out.failure.message;
  EXPECT_EQ(Evaluate(Entry("return 'DIRECT';")).result, "DIRECT");
  ExpectEngineClean();
}

TEST(JsRunnerBounds, DeepRecursionFailsCleanly) {
  // Wine's JScript runs 131,069 calls deep, on about 100 MiB of heap, before
  // it gives up; the recursion, not the heap cap, is under test.
  ScopedLimits limits({kJsDefaultTimeLimitMs, std::size_t{256} << 20});
  const Outcome out = Evaluate(Entry("function f() { return f() + 1; } return String(f());"));
  EXPECT_EQ(out.status, 999);
  EXPECT_EQ(out.failure.stage, js_stage_t::call) << out.failure.message;
  ExpectEngineClean();
}

TEST(JsRunnerConcurrency, ConcurrentRunsAreServedOneAfterAnother) {
  js_engine_reset_peak();
  const std::string script = Entry(
      "var n = 0; for (var i = 0; i < 20000; i++) n += i; return 'PROXY ' + host + ':' +"
      " (n % 1000 + 1);");
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string host = "h" + std::to_string(t);
      for (int i = 0; i < 10; ++i) {
        std::string result;
        js_runner_t(script).run("http://" + host + "/", host, result);
        answered += result == "PROXY " + host + ":1" ? 1 : 0;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(answered.load(), 40);
  EXPECT_EQ(js_engine_stats().peak_running, 1);
  ExpectEngineClean();
}

}  // namespace
}  // namespace OVProxy
