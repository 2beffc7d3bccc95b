// js_runner_t: statuses, bounds on time, heap and stack, isolation between
// runs and serialisation of concurrent runs.
#include "OrvaProxy/oPACParser/js_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_limits.h"
#include "ovtest/log_capture.h"

namespace OVProxy {
namespace {

constexpr char kUrl[] = "http://www.example.com/x";
constexpr char kHost[] = "www.example.com";

struct Outcome {
  int32_t status;
  std::string result;
  js_failure_t failure;
};

Outcome Evaluate(const std::string& script) {
  Outcome out{0, "<untouched>", {}};
  out.status = js_runner_t(script).run(kUrl, kHost, out.result, &out.failure);
  return out;
}

std::string Entry(const std::string& body) {
  return "function FindProxyForURL(url, host) { " + body + " }";
}

class ScopedLimits {
 public:
  explicit ScopedLimits(js_limits_t limits) : previous_(js_set_limits(limits)) {}
  ~ScopedLimits() { js_set_limits(previous_); }

 private:
  js_limits_t previous_;
};

// The kept engine still answers, and dropping it returns every byte.
void ExpectEngineClean() {
  EXPECT_EQ(Evaluate(Entry("return 'DIRECT';")).result, "DIRECT");
  js_engine_reset();
  const js_engine_stats_t stats = js_engine_stats();
  EXPECT_EQ(stats.live_heaps, 0);
  EXPECT_EQ(stats.live_bytes, 0);
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
      {Entry("return null;"), 999, "<untouched>", js_stage_t::result},
      {"var FindProxyForURL = 'DIRECT';", 999, "<untouched>", js_stage_t::find},
      {"function FindProxyForURL(url, host) { return 'DIRECT' ", 999, "<untouched>",
       js_stage_t::parse},
      {"throw new Error('at load'); " + Entry("return '';"), 999, "<untouched>", js_stage_t::start},
      {Entry("return undefinedName;"), 999, "<untouched>", js_stage_t::call},
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

TEST(JsRunner, ErrorMessagesAreCapped) {
  // An 8 MiB thrown string does not become an 8 MiB message.
  const Outcome huge = Evaluate(Entry("throw 'x'.repeat(1 << 23);"));
  EXPECT_EQ(huge.status, 999);
  EXPECT_LE(huge.failure.message.size(), kJsMaxErrorMessageBytes + 16);
  EXPECT_EQ(huge.failure.message.substr(0, 4), "xxxx");
}

TEST(JsRunner, AlertWritesACutLineToTheLogAndNothingMore) {
  ovtest::LogCapture log;
  const Outcome out =
      Evaluate(Entry("for (var i = 0; i < 100; i++) alert('y'.repeat(5000));"
                     " return 'DIRECT';"));
  EXPECT_EQ(out.status, 0) << out.failure.message;
  std::size_t lines = 0;
  for (const klb::LogRecord& record : log.Records()) {
    if (record.message.find("alert") == std::string::npos) continue;
    ++lines;
    EXPECT_LE(record.message.size(), kJsMaxAlertBytes + 64);
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kJsMaxAlertsPerEvaluation));
}

TEST(JsRunner, NothingOfAScriptSurvivesTheRun) {
  const std::string script =
      "var runs = (typeof runs == 'number') ? runs + 1 : 1;\n"
      "var patched = Object.prototype.patched === true;\n"
      "Object.prototype.patched = true;\n"
      "String.prototype.trim = function () { return 'hijacked'; };\n"
      "delete this.Array;\n"
      "shExpMatch = function () { return true; };\n" +
      Entry("return runs + ' ' + patched + ' ' + ' a '.trim();");
  const std::string probe = Entry(
      "return typeof runs + ' ' + ' a '.trim() + ' ' + typeof Array + ' ' + shExpMatch('a', 'b');");
  // The same with environments built on demand and built ahead of time.
  for (bool prepared : {false, true}) {
    if (prepared) js_engine_prepare();
    EXPECT_EQ(Evaluate(script).result, "1 false hijacked");
    if (prepared) js_engine_prepare();
    EXPECT_EQ(Evaluate(script).result, "1 false hijacked");
    if (prepared) js_engine_prepare();
    EXPECT_EQ(Evaluate(probe).result, "undefined a function false");
  }
}

TEST(JsRunnerBounds, HostileScriptsStopAtTheTimeBound) {
  ScopedLimits limits({100, kJsDefaultHeapLimitBytes});
  const std::string bodies[] = {
      "while (true) {}",
      // Catching the time-out error does not buy more time.
      "for (;;) { try { while (true) {} } catch (e) {} finally { continue; } }",
      // A pathological pattern keeps the regular-expression matcher busy.
      "return shExpMatch('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!', '(a+)+b') ? 'x' : 'y';",
      // Native built-ins that loop over a huge length without a bytecode.
      "Array.prototype.sort.call({length: 1e7}); return '';",
      "Array.prototype.reverse.call({length: 1e9}); return '';",
      "return new Array(2e8).join('x');",
      "return String(Array.prototype.indexOf.call({length: 2e9}, 1));",
      "Array.prototype.splice.call({length: 2e9}, 0, 1); return '';",
      "return JSON.stringify(new Array(1e8)).length + '';",
      "var s = 'a'.repeat(1 << 24); return String(s.indexOf(s.substring(1 << 23) + 'b'));",
      "var s = 'a'.repeat(1 << 24); return String(s.split(s.substring(1 << 23) + 'b').length);",
      "var s = 'a'.repeat(1 << 24); return s.replace(s.substring(1 << 23) + 'b', '');",
  };
  for (const std::string& body : bodies) {
    const Outcome out = Evaluate(Entry(body));
    EXPECT_EQ(out.status, 999) << body;
    EXPECT_EQ(out.failure.stage, js_stage_t::time_limit) << body << ": " << out.failure.message;
    EXPECT_EQ(out.result, "<untouched>");
  }
  EXPECT_EQ(Evaluate("while (true) {}\n" + Entry("return '';")).failure.stage,
            js_stage_t::time_limit);
  ExpectEngineClean();
}

TEST(JsRunnerBounds, DeepRecursionThroughNativeCallsFailsCleanly) {
  const std::string bodies[] = {
      "function f() { return [1].map(f); } f(); return '';",
      "var o = {}; o.toString = function () { return String(o); }; return String(o);",
      "function s() { [2, 1].sort(function (a, b) { s(); return a - b; }); } s(); return '';",
      "var a = []; for (var i = 0; i < 1e5; i++) a = [a]; return JSON.stringify(a);",
      "return eval(new Array(1e4).join('(') + '1' + new Array(1e4).join(')'));",
  };
  for (const std::string& body : bodies) {
    const Outcome out = Evaluate(Entry(body));
    EXPECT_EQ(out.status, 999) << body;
    EXPECT_EQ(out.failure.stage, js_stage_t::call) << body << ": " << out.failure.message;
  }
  ExpectEngineClean();
}

TEST(JsRunnerBounds, AScriptThatAllocatesWithoutEndStopsAtTheHeapBound) {
  ScopedLimits limits({10'000, std::size_t{1} << 20});  // the prelude needs under 256 KiB
  const std::string scripts[] = {
      Entry("var a = []; for (;;) a.push('entry number ' + a.length);"),
      "var big = new Array(1e7).join('x');\n" + Entry("return '';"),
      Entry("return 'x'.repeat(1 << 30);"),
  };
  for (const std::string& script : scripts) {
    const Outcome out = Evaluate(script);
    EXPECT_EQ(out.status, 999) << script;
    EXPECT_EQ(out.failure.stage, js_stage_t::heap_limit) << script << ": " << out.failure.message;
  }
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
