// Helpers of the PAC engine tests. Scripts run on both engines keep to
// ECMAScript 3, the language of the Windows JScript engine (no
// String.prototype.repeat, trim, Array.prototype.indexOf, map, JSON, ...).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_limits.h"
#include "OrvaProxy/oPACParser/js_runner.h"

namespace OVProxy::jstest {

struct Outcome {
  int32_t status;
  std::string result;
  js_failure_t failure;
};

inline Outcome Evaluate(const std::string& script,
                        const std::string& url = "http://www.example.com/x",
                        const std::string& host = "www.example.com") {
  Outcome out{0, "<untouched>", {}};
  out.status = js_runner_t(script).run(url, host, out.result, &out.failure);
  return out;
}

inline std::string Entry(const std::string& body) {
  return "function FindProxyForURL(url, host) { " + body + " }";
}

// A JavaScript expression for `text` doubled `times` times.
inline std::string Doubled(const std::string& text, int times) {
  return "(function () { var s = '" + text + "'; for (var i = 0; i < " + std::to_string(times) +
         "; i++) s += s; return s; })()";
}

class ScopedLimits {
 public:
  explicit ScopedLimits(js_limits_t limits) : previous_(js_set_limits(limits)) {}
  ~ScopedLimits() { js_set_limits(previous_); }
  ScopedLimits(const ScopedLimits&) = delete;
  ScopedLimits& operator=(const ScopedLimits&) = delete;

 private:
  js_limits_t previous_;
};

// The engine still answers, and dropping what it keeps returns every byte.
inline void ExpectEngineClean() {
  EXPECT_EQ(Evaluate(Entry("return 'DIRECT';")).result, "DIRECT");
  js_engine_reset();
  EXPECT_EQ(js_engine_stats().live_heaps, 0);
  EXPECT_EQ(js_engine_stats().live_bytes, 0);
}

// Every script fails at `stage` under `limits`, and the engine is clean after.
inline void ExpectFailures(js_limits_t limits, js_stage_t stage,
                           std::initializer_list<std::string> scripts) {
  {
    ScopedLimits scoped(limits);
    for (const std::string& script : scripts) {
      const Outcome out = Evaluate(script);
      EXPECT_EQ(out.status, 999) << script;
      EXPECT_EQ(out.failure.stage, stage) << script << ": " << out.failure.message;
      EXPECT_EQ(out.result, "<untouched>") << script;
    }
  }
  ExpectEngineClean();
}

}  // namespace OVProxy::jstest
