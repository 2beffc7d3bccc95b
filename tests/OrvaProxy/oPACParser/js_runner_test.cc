// js_runner_t: statuses, bounds on time and heap, isolation between runs and
// serialisation of concurrent runs.
#include "OrvaProxy/oPACParser/js_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_limits.h"

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

// Sets the evaluation bounds for one test.
class ScopedLimits {
 public:
  explicit ScopedLimits(js_limits_t limits) : previous_(js_set_limits(limits)) {}
  ~ScopedLimits() { js_set_limits(previous_); }

 private:
  js_limits_t previous_;
};

void ExpectEngineClean() {
  const js_engine_stats_t stats = js_engine_stats();
  EXPECT_EQ(stats.live_heaps, 0);
  EXPECT_EQ(stats.live_bytes, 0);
}

TEST(JsRunner, Statuses) {
  struct Case {
    const char* script;
    int32_t status;
    const char* result;
    js_stage_t stage;
  };
  const Case cases[] = {
      {"", 811, "<untouched>", js_stage_t::load},
      {"function FindProxyForURL(url, host) { return 'PROXY p:8080; DIRECT'; }", 0,
       "PROXY p:8080; DIRECT", js_stage_t::none},
      {"function FindProxyForURL(url, host) { return url + '|' + host; }", 0,
       "http://www.example.com/x|www.example.com", js_stage_t::none},
      {"function FindProxyForURL(url, host) { return ''; }", 0, "", js_stage_t::none},
      {"function FindProxyForURL(url, host) { return null; }", 999, "<untouched>",
       js_stage_t::result},
      {"function FindProxyForURL(url, host) { return 8080; }", 999, "<untouched>",
       js_stage_t::result},
      {"function FindProxyForURL(url, host) { return new String('x'); }", 999, "<untouched>",
       js_stage_t::result},
      {"function FindProxyForURLEx(url, host) { return 'DIRECT'; }", 999, "<untouched>",
       js_stage_t::find},
      {"var FindProxyForURL = 'DIRECT';", 999, "<untouched>", js_stage_t::find},
      {"function FindProxyForURL(url, host) { return 'DIRECT' ", 999, "<untouched>",
       js_stage_t::parse},
      {"throw new Error('at load'); function FindProxyForURL() { return ''; }", 999, "<untouched>",
       js_stage_t::start},
      {"function FindProxyForURL(url, host) { return undefinedName; }", 999, "<untouched>",
       js_stage_t::call},
  };
  for (const Case& c : cases) {
    const Outcome out = Evaluate(c.script);
    EXPECT_EQ(out.status, c.status) << c.script;
    EXPECT_EQ(out.result, c.result) << c.script;
    EXPECT_EQ(out.failure.stage, c.stage) << c.script << ": " << out.failure.message;
  }
  ExpectEngineClean();
}

TEST(JsRunner, ErrorMessagesCountLinesInThePacFile) {
  const Outcome parse =
      Evaluate("function FindProxyForURL(url, host) {\n  var x = 1;\n  return x +;\n}");
  EXPECT_NE(parse.failure.message.find("SyntaxError"), std::string::npos) << parse.failure.message;
  EXPECT_NE(parse.failure.message.find("(PAC line 3)"), std::string::npos) << parse.failure.message;
  const Outcome thrown = Evaluate("function FindProxyForURL(url, host) {\n\n  return null.x;\n}");
  EXPECT_NE(thrown.failure.message.find("TypeError"), std::string::npos) << thrown.failure.message;
  EXPECT_NE(thrown.failure.message.find("(PAC line 3)"), std::string::npos)
      << thrown.failure.message;
}

TEST(JsRunner, NothingOfAScriptSurvivesTheRun) {
  const std::string script =
      "var runs = (typeof runs == 'number') ? runs + 1 : 1;\n"
      "var patched = Object.prototype.patched === true;\n"
      "Object.prototype.patched = true;\n"
      "String.prototype.trim = function () { return 'hijacked'; };\n"
      "function FindProxyForURL(url, host) { return runs + ' ' + patched + ' ' + ' a '.trim(); }";
  EXPECT_EQ(Evaluate(script).result, "1 false hijacked");
  EXPECT_EQ(Evaluate(script).result, "1 false hijacked");
  EXPECT_EQ(Evaluate("function FindProxyForURL(u, h) { return typeof runs + ' ' + ' a '.trim(); }")
                .result,
            "undefined a");
}

TEST(JsRunner, TextThatIsNotUtf8IsReadAsLatin1) {
  // "\xE9" alone is not UTF-8: a script saved in a single-byte code page.
  const Outcome out =
      Evaluate("function FindProxyForURL(url, host) { return '\xE9'.length + host; }");
  EXPECT_EQ(out.status, 0) << out.failure.message;
  EXPECT_EQ(out.result, "1www.example.com");
  EXPECT_EQ(Evaluate("function FindProxyForURL(u, h) { return '\xC3\xA9'; }").result, "\xC3\xA9");
}

TEST(JsRunnerBounds, ALoopThatNeverEndsStopsAtTheTimeBound) {
  ScopedLimits limits({100, kJsDefaultHeapLimitBytes});
  const char* scripts[] = {
      "function FindProxyForURL(url, host) { while (true) {} }",
      // Catching the time-out error does not buy more time.
      "function FindProxyForURL(url, host) {\n"
      "  for (;;) { try { while (true) {} } catch (e) {} finally { continue; } }\n}",
      "while (true) {}\nfunction FindProxyForURL(url, host) { return ''; }",
      // A pathological pattern keeps the regular-expression matcher busy.
      "function FindProxyForURL(url, host) {\n"
      "  return shExpMatch('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!', '(a+)+b') ? 'x' : 'y';\n}",
  };
  for (const char* script : scripts) {
    const Outcome out = Evaluate(script);
    EXPECT_EQ(out.status, 999) << script;
    EXPECT_EQ(out.failure.stage, js_stage_t::time_limit) << script << ": " << out.failure.message;
    EXPECT_EQ(out.result, "<untouched>");
  }
  ExpectEngineClean();
  EXPECT_EQ(Evaluate("function FindProxyForURL(url, host) { return 'DIRECT'; }").result, "DIRECT");
}

TEST(JsRunnerBounds, AScriptThatAllocatesWithoutEndStopsAtTheHeapBound) {
  ScopedLimits limits({10'000, std::size_t{1} << 20});  // the prelude needs under 256 KiB
  const char* scripts[] = {
      ("function FindProxyForURL(url, host) {\n"
       "  var a = []; for (;;) a.push('entry number ' + a.length);\n}"),
      "function FindProxyForURL(url, host) { var s = 'x'; for (;;) s = s + s; }",
      "var big = new Array(1e7).join('x');\nfunction FindProxyForURL(u, h) { return ''; }",
  };
  for (const char* script : scripts) {
    const Outcome out = Evaluate(script);
    EXPECT_EQ(out.status, 999) << script;
    EXPECT_EQ(out.failure.stage, js_stage_t::heap_limit) << script << ": " << out.failure.message;
  }
  ExpectEngineClean();
  EXPECT_EQ(Evaluate("function FindProxyForURL(url, host) { return 'DIRECT'; }").result, "DIRECT");
}

TEST(JsRunnerBounds, DefaultBoundsLeaveRoomForALargePac) {
  // A PAC with a generated table of 2,000 host names, tested one by one.
  std::string script = "var hosts = [\n";
  for (int i = 0; i < 2'000; ++i) script += "  'host" + std::to_string(i) + ".corp.example',\n";
  script +=
      "];\nfunction FindProxyForURL(url, host) {\n"
      "  for (var i = 0; i < hosts.length; i++) if (shExpMatch(host, hosts[i])) return 'DIRECT';\n"
      "  return 'PROXY p:8080';\n}";
  js_failure_t failure;
  std::string result;
  EXPECT_EQ(js_runner_t(script).run("http://host1999.corp.example/", "host1999.corp.example",
                                    result, &failure),
            0)
      << failure.message;
  EXPECT_EQ(result, "DIRECT");
}

TEST(JsRunnerConcurrency, ARunWaitsWhileAnotherEvaluationHoldsTheClassLock) {
  auto& mutex = js_runner_t::class_mutex();
  mutex.lock();  // as an evaluation in progress does
  std::atomic<bool> done{false};
  std::thread other([&] {
    std::string result;
    EXPECT_EQ(
        js_runner_t("function FindProxyForURL(u, h) { return 'DIRECT'; }").run(kUrl, kHost, result),
        0);
    done = true;
  });
  while (mutex.waiting() == 0) std::this_thread::yield();
  EXPECT_FALSE(done.load());
  EXPECT_EQ(js_engine_stats().live_heaps, 0);
  mutex.unlock();
  other.join();
  EXPECT_TRUE(done.load());
}

TEST(JsRunnerConcurrency, ConcurrentRunsAreServedOneAfterAnother) {
  js_engine_reset_peak();
  const std::string script =
      "function FindProxyForURL(url, host) {\n"
      "  var n = 0; for (var i = 0; i < 20000; i++) n += i;\n"
      "  return 'PROXY ' + host + ':' + (n % 1000 + 1);\n}";
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const std::string host = "h" + std::to_string(t);
        std::string result;
        if (js_runner_t(script).run("http://" + host + "/", host, result) == 0 &&
            result == "PROXY " + host + ":1") {
          ++answered;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(answered.load(), 40);
  EXPECT_EQ(js_engine_stats().peak_live_heaps, 1);
  ExpectEngineClean();
}

}  // namespace
}  // namespace OVProxy
