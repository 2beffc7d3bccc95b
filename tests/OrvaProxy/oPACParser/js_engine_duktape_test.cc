// The Duktape engine's own bounds: native built-ins and the regular-expression
// matcher stopped at the time bound, the heap cap, thrown values of any kind
// described. (Built on platforms without Active Scripting.)
#include <gtest/gtest.h>

#include <string>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_limits.h"
#include "js_test_util.h"

namespace OVProxy {
namespace {

using jstest::Entry;
using jstest::Evaluate;
using jstest::ExpectEngineClean;
using jstest::Outcome;
using jstest::ScopedLimits;

TEST(JsDuktape, ThrownStringsAreDescribedAndCapped) {
  // An 8 MiB thrown string does not become an 8 MiB message.
  const Outcome huge = Evaluate(Entry("throw 'x'.repeat(1 << 23);"));
  EXPECT_EQ(huge.status, 999);
  EXPECT_LE(huge.failure.message.size(), kJsMaxErrorMessageBytes + 16);
  EXPECT_EQ(huge.failure.message.substr(0, 4), "xxxx");
}

TEST(JsDuktapeBounds, HostileScriptsStopAtTheTimeBound) {
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

TEST(JsDuktapeBounds, DeepRecursionThroughNativeCallsFailsCleanly) {
  const std::string bodies[] = {
      "function f() { return [1].map(f); } f(); return '';",
      // Wine's JScript never returns from this one.
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

TEST(JsDuktapeBounds, AScriptThatAllocatesWithoutEndStopsAtTheHeapBound) {
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

}  // namespace
}  // namespace OVProxy
