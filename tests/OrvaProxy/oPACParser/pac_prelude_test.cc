// The PAC helper functions. Date and time rows run at a fixed instant where
// the engine reads the module's clock (not on Windows: JScript reads the
// system's); the rows that need no clock run on both engines.
#include "OrvaProxy/oPACParser/pac_prelude.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "js_test_util.h"
#if !defined(_WIN32)
#include "klbutil/klb_time_zone.h"
#include "ovtest/manual_clock.h"
#endif

namespace OVProxy {
namespace {

std::string Eval(const std::string& expression) {
  const jstest::Outcome out = jstest::Evaluate(jstest::Entry("return String(" + expression + ");"));
  return out.status == 0 ? out.result
                         : "status " + std::to_string(out.status) + ": " + out.failure.message;
}

// Each row: an expression and its String().
void ExpectRows(std::initializer_list<std::pair<const char*, const char*>> rows) {
  for (const auto& [expression, want] : rows) EXPECT_EQ(Eval(expression), want) << expression;
}

TEST(PacPrelude, HelpersWithoutAClock) {
  ExpectRows({
      {"dnsDomainIs('www.EXAMPLE.com', '.example.com')", "false"},  // case-sensitive
      {"isPlainHostName('a.b')", "false"},
      {"[dnsResolve('localhost'), isResolvable('localhost'), myIpAddress()].join()",
       ",false,127.0.0.1"},
      {"typeof dns_resolve + typeof Duktape + typeof performance", "undefinedundefinedundefined"},
      {"typeof this.dns_resolve", "undefined"},
      {"convert_addr('200.1.1.1')", "-939458303"},  // signed 32 bits
      {"isInNet('intranet', '10.0.0.0', '255.0.0.0')", "false"},
      {"isInNet('10.1.2.256', '10.0.0.0', '255.0.0.0')", "false"},
      {"isInNetEx('10.1.2.3', '10.1.2.0/25') + ' ' + isInNetEx('10.1.2.200', '10.1.2.0/25')",
       "true false"},
      {"isInNetEx('10.1.2.3', '10.1.2.3/33') + ' ' + isInNetEx('10.1.2.3', '10.0.0.0')",
       "false false"},
      {"isInNetEx('2001:db8:8000::1', '2001:db8::/33')", "false"},
      {"isInNetEx('::1', '::1/129')", "false"},
      {"convert_addr6('fe80::').join(',')", "65152,0,0,0,0,0,0,0"},
      {"[weekdayRange(), dateRange(), timeRange()]", "false,false,false"},
      // No wrap-around: FRI to MON is no day at all.
      {"weekdayRange('FRI', 'MON')", "false"},
      {"(function(){ try { timeRange(1, 2, 3); } catch (e) { return e; } })()",
       "timeRange: bad number of arguments"},
      // Ranges that hold at every instant, on every engine (dates compared
      // as objects are compared as strings by some).
      {"[dateRange('JAN', 'DEC'), dateRange(1, 31), timeRange(0, 0, 0, 23, 59, 59)]",
       "true,true,true"},
  });
}

// An address literal is its own address without any lookup; any other name
// stays unresolved in this engine, and the evaluation says it asked DNS.
TEST(PacPrelude, AddressLiteralsNeedNoDnsAndNamesMarkTheAnswerBlind) {
  const struct {
    const char* expression;
    const char* want;
    bool blind;
  } rows[] = {
      {"[dnsResolve('10.1.2.3'), isResolvable('10.1.2.3')]", "10.1.2.3,true", false},
      {"isInNet(dnsResolve('10.1.2.3'), '10.0.0.0', '255.0.0.0')", "true", false},
      {"[dnsResolve('10.1.2.256'), dnsResolve('::1'), dnsResolve('10.1.2')]", ",,", true},
      {"[dnsResolveEx('::1'), dnsResolveEx('[2001:db8::7]'), dnsResolveEx('1.2.3.4')]",
       "::1,2001:db8::7,1.2.3.4", false},
      {"[dnsResolveEx('::ffff:1.2.3.4'), isResolvableEx('fe80::1:2:3:4:5:6')]",
       "::ffff:1.2.3.4,true", false},
      {"[dnsResolveEx('1::2::3'), dnsResolveEx('1:2:3:4:5:6:7:8:9'), isResolvableEx('a.b')]",
       ",,false", true},
      {"isInNet('intranet', '10.0.0.0', '255.0.0.0')", "false", true},
      {"myIpAddressEx()", "127.0.0.1", true},
      {"myIpAddress()", "127.0.0.1", true},
      {"getClientVersion()", "1.0", false},
      {"sortIpAddressList('10.2.0.1;2001:db8::2;9.0.0.1;::1;2001:db8::1:0')",
       "::1;2001:db8::2;2001:db8::1:0;9.0.0.1;10.2.0.1", false},
      {"[sortIpAddressList('1.2.3.4;name'), sortIpAddressList(''), sortIpAddressList(' "
       "::ffff:1.2.3.5 ; ::ffff:1.2.3.4')]",
       "false,false,::ffff:1.2.3.4;::ffff:1.2.3.5", false},
  };
  for (const auto& row : rows) {
    const jstest::Outcome out =
        jstest::Evaluate(jstest::Entry("return String(" + std::string(row.expression) + ");"));
    EXPECT_EQ(out.status == 0 ? out.result : out.failure.message, row.want) << row.expression;
    EXPECT_EQ(out.failure.dns_blind, row.blind) << row.expression;
  }
}

#if !defined(_WIN32)
TEST(PacPrelude, DateAndTimeRangesAtAFixedInstant) {
  ovtest::ManualClock clock;
  clock.SetSystemTime100ns(1710498645LL * 10'000'000LL);  // Friday 2024-03-15 10:30:45 UTC
  const std::optional<int32_t> previous_zone = klb::set_utc_offset_for_testing(-11 * 3600);
  // Local time: Thursday 2024-03-14 23:30:45. Names are upper case.
  ExpectRows({
      {"[weekdayRange(), weekdayRange('THU'), weekdayRange('FRI'), weekdayRange('FRI', 'GMT')]",
       "false,true,false,true"},
      {"[weekdayRange('thu'), weekdayRange('XYZ', 'FRI')]", "false,false"},
  });
  klb::set_utc_offset_for_testing(2 * 3600);  // local time: Friday 2024-03-15 12:30:45
  ExpectRows({
      {"[new Date().getTime(), new Date().getHours()]", "1710498645000,12"},
      {"[dateRange(), dateRange('MAR'), dateRange('APR'), dateRange('MAR', 'GMT')]",
       "false,true,false,true"},
      {"[dateRange('JAN', 'MAR'), dateRange('APR', 'DEC'), dateRange(10, 20), dateRange(16, 20)]",
       "true,false,true,false"},
      {"[dateRange(1, 'MAR', 15, 'MAR'), dateRange(16, 'MAR', 31, 'MAR'), "
       "dateRange('MAR', 2024, 'MAR', 2024)]",
       "true,false,true"},
      {"[timeRange(), timeRange(12), timeRange(11), timeRange(10, 'GMT')]",
       "false,true,false,true"},
      {"[timeRange(9, 17), timeRange(13, 17), timeRange(22, 2)]", "true,false,false"},
      // The upper bound of four arguments ends at :59 seconds.
      {"[timeRange(12, 30, 12, 30), timeRange(12, 31, 13, 0), timeRange(10, 0, 11, 0, 'GMT')]",
       "true,false,true"},
  });
  // An upper bound in APR ends with 30 APR, not 1 MAY.
  clock.SetSystemTime100ns(1714564800LL * 10'000'000LL);  // 2024-05-01 12:00 UTC
  EXPECT_EQ(Eval("[dateRange('JAN', 'APR'), dateRange('JAN', 'MAY')]"), "false,true");
  klb::set_utc_offset_for_testing(previous_zone);
}
#endif  // !defined(_WIN32)

}  // namespace
}  // namespace OVProxy
