// Helpers of the PAC engine tests: one evaluation through js_runner_t with
// its outcome, a FindProxyForURL around a body, limits for a scope.
//
// Scripts of tests that run on both engines keep to ECMAScript 3, the
// language of the Windows JScript engine (no String.prototype.repeat, trim,
// Array.prototype.indexOf, map, JSON, ...), and to what both engines
// report the same way.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_limits.h"
#include "OrvaProxy/oPACParser/js_runner.h"

namespace OVProxy::jstest {

inline constexpr char kUrl[] = "http://www.example.com/x";
inline constexpr char kHost[] = "www.example.com";

struct Outcome {
  int32_t status;
  std::string result;
  js_failure_t failure;
};

inline Outcome Evaluate(const std::string& script, const std::string& url = kUrl,
                        const std::string& host = kHost) {
  Outcome out{0, "<untouched>", {}};
  out.status = js_runner_t(script).run(url, host, out.result, &out.failure);
  return out;
}

inline std::string Entry(const std::string& body) {
  return "function FindProxyForURL(url, host) { " + body + " }";
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
  const js_engine_stats_t stats = js_engine_stats();
  EXPECT_EQ(stats.live_heaps, 0);
  EXPECT_EQ(stats.live_bytes, 0);
}

}  // namespace OVProxy::jstest
