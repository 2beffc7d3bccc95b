// The PAC helper functions, each row an expression evaluated inside a PAC
// script. Date and time rows run at a fixed instant in fixed time zones.
#include "OrvaProxy/oPACParser/pac_prelude.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "OrvaProxy/oPACParser/js_runner.h"
#include "klbutil/klb_time_zone.h"
#include "ovtest/manual_clock.h"

namespace OVProxy {
namespace {

struct Row {
  const char* expression;
  const char* want;  // String(expression)
};

std::string Eval(const std::string& expression, int32_t* status = nullptr) {
  js_runner_t runner("function FindProxyForURL(url, host) { return String(" + expression + "); }");
  std::string result = "<not run>";
  js_failure_t failure;
  const int32_t rc = runner.run("http://www.example.com/", "www.example.com", result, &failure);
  if (status != nullptr) *status = rc;
  if (rc != 0) return "status " + std::to_string(rc) + ": " + failure.message;
  return result;
}

void ExpectRows(const std::initializer_list<Row>& rows) {
  for (const Row& row : rows) EXPECT_EQ(Eval(row.expression), row.want) << row.expression;
}

TEST(PacPrelude, HostNameHelpers) {
  ExpectRows({
      {"dnsDomainIs('www.example.com', '.example.com')", "true"},
      {"dnsDomainIs('www.EXAMPLE.com', '.example.com')", "false"},  // case-sensitive
      {"dnsDomainIs('com', '.example.com')", "false"},
      {"isPlainHostName('intranet')", "true"},
      {"isPlainHostName('a.b')", "false"},
      {"dnsDomainLevels('a.b.c')", "2"},
      {"dnsDomainLevels('a')", "0"},
      {"localHostOrDomainIs('www', 'www.example.com')", "true"},
      {"localHostOrDomainIs('www.example.com', 'www.example.com')", "true"},
      {"localHostOrDomainIs('www.other.com', 'www.example.com')", "false"},
      {"localHostOrDomainIs('ww', 'www.example.com')", "false"},
  });
}

TEST(PacPrelude, NoNameResolution) {
  ExpectRows({
      {"dnsResolve('www.example.com')", "null"},
      {"dnsResolve('localhost')", "null"},
      {"isResolvable('localhost')", "false"},
      {"myIpAddress()", "127.0.0.1"},
      {"isInNet('intranet', '10.0.0.0', '255.0.0.0')", "false"},
      {"typeof dns_resolve", "undefined"},
      {"typeof Duktape + typeof performance", "undefinedundefined"},
  });
}

TEST(PacPrelude, AddressHelpers) {
  ExpectRows({
      {"convert_addr('1.2.3.4')", "16909060"},
      {"convert_addr('200.1.1.1')", "-939458303"},  // signed 32 bits
      {"isInNet('10.1.2.3', '10.0.0.0', '255.0.0.0')", "true"},
      {"isInNet('11.1.2.3', '10.0.0.0', '255.0.0.0')", "false"},
      {"isInNet('192.168.1.77', '192.168.1.0', '255.255.255.0')", "true"},
      {"isInNet('10.1.2.256', '10.0.0.0', '255.0.0.0')", "false"},
      {"isInNet('10.1.2', '10.0.0.0', '255.0.0.0')", "false"},
      {"isInNetEx('10.1.2.3', '10.0.0.0/8')", "true"},
      {"isInNetEx('10.1.2.3', '10.1.2.0/25')", "true"},
      {"isInNetEx('10.1.2.200', '10.1.2.0/25')", "false"},
      {"isInNetEx('10.1.2.3', '0.0.0.0/0')", "true"},  // /0 covers everything
      {"isInNetEx('10.1.2.3', '10.1.2.3/33')", "false"},
      {"isInNetEx('10.1.2.3', '10.0.0.0')", "false"},
      {"isInNetEx('2001:db8::1', '2001:db8::/32')", "true"},
      {"isInNetEx('2001:db9::1', '2001:db8::/32')", "false"},
      {"isInNetEx('2001:db8:8000::1', '2001:db8::/33')", "false"},
      {"isInNetEx('2001:db8:7fff::1', '2001:db8::/33')", "true"},
      {"isInNetEx('::1', '::1/129')", "false"},
      {"convert_addr6('::1').join(',')", "0,0,0,0,0,0,0,1"},
      {"convert_addr6('fe80::').join(',')", "65152,0,0,0,0,0,0,0"},
  });
}

TEST(PacPrelude, ShExpMatch) {
  ExpectRows({
      {"shExpMatch('a.b.example.com', '*.example.com')", "true"},
      {"shExpMatch('aXexample.com', 'a.example.com')", "false"},  // the dot is literal
      {"shExpMatch('www.example.com', 'www.?xample.com')", "true"},
      {"shExpMatch('http://x.org/path', 'http://*')", "true"},
      {"shExpMatch('example.com', '*.example.com')", "false"},
      {"shExpMatch('ab', '[ab]b')", "true"},  // other characters keep their meaning
      {"shExpMatch('host10', 'host[0-9]+')", "true"},
  });
  int32_t status = 0;
  Eval("shExpMatch('a', '(')", &status);  // not a regular expression: the script throws
  EXPECT_EQ(status, 999);
}

class PacPreludeAtInstant : public ::testing::Test {
 protected:
  // Friday 2024-03-15 10:30:45 UTC.
  static constexpr int64_t kInstant100ns = 1710498645LL * 10'000'000LL;

  void SetUp() override { clock_.SetSystemTime100ns(kInstant100ns); }
  void TearDown() override { klb::set_utc_offset_for_testing(previous_zone_); }
  void SetZoneHours(int hours) { klb::set_utc_offset_for_testing(hours * 3600); }

  ovtest::ManualClock clock_;
  std::optional<int32_t> previous_zone_ = klb::set_utc_offset_for_testing(0);
};

TEST_F(PacPreludeAtInstant, NowComesFromTheInjectedClockAndZone) {
  EXPECT_EQ(Eval("new Date().getTime()"), "1710498645000");
  SetZoneHours(2);
  EXPECT_EQ(Eval("new Date().getHours()"), "12");
}

TEST_F(PacPreludeAtInstant, WeekdayRange) {
  SetZoneHours(-11);  // local time: Thursday 2024-03-14 23:30:45
  ExpectRows({
      {"weekdayRange()", "false"},
      {"weekdayRange('THU')", "true"},
      {"weekdayRange('FRI', 'GMT')", "true"},
      {"weekdayRange('FRI')", "false"},
      {"weekdayRange('MON', 'FRI')", "true"},
      {"weekdayRange('FRI', 'SAT')", "false"},
      {"weekdayRange('FRI', 'SAT', 'GMT')", "true"},
      {"weekdayRange('FRI', 'MON')", "false"},  // no wrap-around
      {"weekdayRange('SUN', 'MON')", "false"},
      {"weekdayRange('thu')", "false"},  // names are upper case
      {"weekdayRange('XYZ', 'FRI')", "false"},
  });
}

TEST_F(PacPreludeAtInstant, DateRange) {
  SetZoneHours(2);  // local time: Friday 2024-03-15 12:30:45
  ExpectRows({
      {"dateRange()", "false"},
      {"dateRange('MAR')", "true"},
      {"dateRange('APR')", "false"},
      {"dateRange(15)", "true"},
      {"dateRange(14)", "false"},
      {"dateRange(2024)", "true"},
      {"dateRange(2023)", "false"},
      {"dateRange('JAN', 'MAR')", "true"},
      {"dateRange('APR', 'DEC')", "false"},
      {"dateRange(10, 20)", "true"},  // days of the current month
      {"dateRange(16, 20)", "false"},
      {"dateRange(1, 'MAR', 15, 'MAR')", "true"},
      {"dateRange(16, 'MAR', 31, 'MAR')", "false"},
      {"dateRange('MAR', 2024, 'MAR', 2024)", "true"},
      {"dateRange(1, 'JAN', 2023, 31, 'DEC', 2023)", "false"},
      {"dateRange(1, 'JAN', 2024, 31, 'DEC', 2025)", "true"},
      {"dateRange('MAR', 'GMT')", "true"},
  });
}

TEST_F(PacPreludeAtInstant, DateRangeUpperMonthEndsWithItsLastDay) {
  // 2024-05-01: a range ending in APR must not reach into May.
  clock_.SetSystemTime100ns(1714564800LL * 10'000'000LL);  // 2024-05-01 12:00 UTC
  ExpectRows({
      {"dateRange('JAN', 'APR')", "false"},
      {"dateRange('JAN', 'MAY')", "true"},
  });
  clock_.SetSystemTime100ns(1709208000LL * 10'000'000LL);  // 2024-02-29 12:00 UTC
  EXPECT_EQ(Eval("dateRange('JAN', 'FEB')"), "true");
}

TEST_F(PacPreludeAtInstant, TimeRange) {
  SetZoneHours(2);  // local time 12:30:45, UTC 10:30:45
  ExpectRows({
      {"timeRange()", "false"},
      {"timeRange(12)", "true"},
      {"timeRange(10, 'GMT')", "true"},
      {"timeRange(11)", "false"},
      {"timeRange(9, 17)", "true"},
      {"timeRange(13, 17)", "false"},
      {"timeRange(22, 2)", "false"},
      {"timeRange(12, 30, 12, 30)", "true"},  // upper bound ends at :59 seconds
      {"timeRange(12, 31, 13, 0)", "false"},
      {"timeRange(12, 30, 45, 12, 30, 45)", "true"},
      {"timeRange(12, 30, 46, 13, 0, 0)", "false"},
      {"timeRange(10, 0, 11, 0, 'GMT')", "true"},
  });
  int32_t status = 0;
  EXPECT_EQ(Eval("timeRange(1, 2, 3)", &status), "status 999: timeRange: bad number of arguments");
  EXPECT_EQ(Eval("(function(){ try { timeRange(1, 2, 3); } catch (e) { return e; } })()"),
            "timeRange: bad number of arguments");
}

TEST(PacPrelude, FindProxyForURLPrefersTheExVariant) {
  js_runner_t runner(
      "function FindProxyForURLEx(url, host) { return 'EX ' + host; }\n"
      "function FindProxyForURL(url, host) { return findProxyForURL(url, 'x'); }");
  std::string result;
  ASSERT_EQ(runner.run("http://a/", "a", result), 0);
  EXPECT_EQ(result, "EX x");
}

TEST(PacPrelude, IsPlainAsciiEndingWithANewline) {
  ASSERT_FALSE(kPacPrelude.empty());
  EXPECT_EQ(kPacPrelude.back(), '\n');
  EXPECT_TRUE(std::all_of(kPacPrelude.begin(), kPacPrelude.end(),
                          [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
  EXPECT_GT(pac_prelude_lines(), 100);
}

}  // namespace
}  // namespace OVProxy
