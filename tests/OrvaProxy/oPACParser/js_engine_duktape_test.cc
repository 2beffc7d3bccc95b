// The Duktape engine's own bounds: native built-ins and the regular-expression
// matcher stopped at the time bound, native recursion, the heap cap, thrown
// strings capped. (Built on platforms without Active Scripting.)
#include <gtest/gtest.h>

#include <string>

#include "js_test_util.h"

namespace OVProxy {
namespace {

using jstest::Entry;
using jstest::ExpectFailures;

TEST(JsDuktape, ThrownStringsAreDescribedAndCapped) {
  const jstest::Outcome huge = jstest::Evaluate(Entry("throw 'x'.repeat(1 << 23);"));
  EXPECT_EQ(huge.status, 999);
  EXPECT_LE(huge.failure.message.size(), kJsMaxErrorMessageBytes + 16);
  EXPECT_EQ(huge.failure.message.substr(0, 4), "xxxx");
}

TEST(JsDuktape, HostileScriptsStopAtTheirBound) {
  ExpectFailures(
      {100, kJsDefaultHeapLimitBytes}, js_stage_t::time_limit,
      {
          Entry("while (true) {}"),
          "while (true) {}\n" + Entry("return '';"),
          // Catching the time-out error does not buy more time.
          Entry("for (;;) { try { while (true) {} } catch (e) {} finally { continue; } }"),
          // A pathological pattern keeps the regular-expression matcher busy.
          Entry("return shExpMatch('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!', '(a+)+b');"),
          // Native built-ins that loop over a huge length without a bytecode.
          Entry("Array.prototype.sort.call({length: 1e7});"),
          Entry("Array.prototype.reverse.call({length: 1e9});"),
          Entry("return new Array(2e8).join('x');"),
          Entry("return String(Array.prototype.indexOf.call({length: 2e9}, 1));"),
          Entry("Array.prototype.splice.call({length: 2e9}, 0, 1);"),
          Entry("return JSON.stringify(new Array(1e8)).length + '';"),
          Entry("var s = 'a'.repeat(1 << 24); s.indexOf(s.substring(1 << 23) + 'b');"),
          Entry("var s = 'a'.repeat(1 << 24); s.split(s.substring(1 << 23) + 'b');"),
          Entry("var s = 'a'.repeat(1 << 24); s.replace(s.substring(1 << 23) + 'b', '');"),
      });
  ExpectFailures(
      {kJsDefaultTimeLimitMs, kJsDefaultHeapLimitBytes}, js_stage_t::call,
      {
          Entry("function f() { return [1].map(f); } f();"),
          // Wine's JScript never returns from this one.
          Entry("var o = {}; o.toString = function () { return String(o); }; return String(o);"),
          Entry("function s() { [2, 1].sort(function (a, b) { s(); return a - b; }); } s();"),
          Entry("var a = []; for (var i = 0; i < 1e5; i++) a = [a]; return JSON.stringify(a);"),
          Entry("return eval(new Array(1e4).join('(') + '1' + new Array(1e4).join(')'));"),
      });
  // The prelude needs under 256 KiB.
  ExpectFailures({10'000, std::size_t{1} << 20}, js_stage_t::heap_limit,
                 {
                     Entry("var a = []; for (;;) a.push('entry number ' + a.length);"),
                     "var big = new Array(1e7).join('x');\n" + Entry("return '';"),
                     Entry("return 'x'.repeat(1 << 30);"),
                 });
}

}  // namespace
}  // namespace OVProxy
