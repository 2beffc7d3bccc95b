// The DNS-aware engine through the system-shaped service's evaluator, its
// lookups answered by a fake resolver behind the platform's bounded, kept
// lookups and driven by a test clock.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "OrvaProxy/ov_system_proxy_service.h"
#include "js_test_util.h"
#include "ovtest/fake_host_resolver.h"
#include "ovtest/manual_clock.h"
#include "platform/dns/ov_script_dns.h"

namespace OVProxy {
namespace {

using jstest::Entry;

struct DnsFixture {
  explicit DnsFixture(std::chrono::milliseconds keep = ovplatform::kScriptDnsKeep)
      : dns({.resolver = ovplatform::MakeBoundedHostResolver(resolver),
             .local = std::make_shared<ovtest::FakeLocalAddresses>(
                 std::vector<std::string>{"192.168.1.20", "2001:db8::20"}),
             .keep = keep}) {}

  // Lookups still held end, so no helper thread outlives the test.
  ~DnsFixture() { resolver->Release(); }

  ovplatform::PacEvaluation Run(const std::string& script,
                                const std::string& url = "http://intranet.corp/x") {
    return evaluatePacForSystemServiceWithDns(script, url, dns);
  }

  ovtest::ManualClock clock;
  std::shared_ptr<ovtest::FakeHostResolver> resolver = std::make_shared<ovtest::FakeHostResolver>(
      std::map<std::string, std::vector<std::string>>{
          {"intranet.corp", {"10.1.2.3"}},
          {"dual.example", {"2001:db8::1", "192.0.2.7"}},
          {"v6only.example", {"2001:db8::2"}}},
      std::set<std::string>{"slow.example", "slow2.example", "slow3.example"});
  ovplatform::ScriptDns dns;
};

TEST(JsDnsEngine, HelpersAnswerFromTheResolver) {
  const struct {
    const char* expression;  // returned as a string by FindProxyForURL
    const char* answer;
  } cases[] = {
      {"dnsResolve('intranet.corp')", "10.1.2.3"},
      {"dnsResolve('dual.example')", "192.0.2.7"},  // the first IPv4 address
      {"dnsResolve('v6only.example')", "null"},
      {"dnsResolve('unknown.example')", "null"},
      {"isResolvable(host) + ',' + isResolvable('unknown.example')", "true,false"},
      {"isInNet(dnsResolve(host), '10.0.0.0', '255.0.0.0')", "true"},
      {"isInNet(host, '10.0.0.0', '255.0.0.0')", "true"},
      {"myIpAddress()", "192.168.1.20"},
      {"dns_resolve_ex('dual.example')", "2001:db8::1;192.0.2.7"},
      {"dns_resolve_ex('unknown.example') === ''", "true"},
      {"dns_resolve_ex('')", "192.168.1.20;2001:db8::20"},
      // Literals answer themselves; what is not a name asks nothing.
      {"dns_resolve('10.9.8.7') + ' ' + dns_resolve_ex('2001:db8::9')", "10.9.8.7 2001:db8::9"},
      {"dns_resolve(42) + ' ' + dns_resolve(null)", "null null"},
  };
  DnsFixture f;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expression);
    const ovplatform::PacEvaluation out =
        f.Run(Entry(std::string("return '' + (") + c.expression + ");"));
    EXPECT_TRUE(out.ok) << out.detail;
    EXPECT_EQ(out.detail, c.answer);
  }
  // Every name was asked once: answers and failures are kept.
  EXPECT_EQ(f.resolver->Lookups("unknown.example"), 1);
  EXPECT_EQ(f.resolver->Lookups("10.9.8.7"), 0);

  // FindProxyForURLEx wins where the script defines it; the in-process
  // engine still calls FindProxyForURL and knows no names.
  const std::string both =
      Entry("return 'PROXY old:1';") +
      "function FindProxyForURLEx(url, host) { return 'PROXY ' + dnsResolve(host) + ':8080'; }";
  EXPECT_EQ(f.Run(both).detail, "PROXY 10.1.2.3:8080");
  EXPECT_EQ(jstest::Evaluate(both).result, "PROXY old:1");
  EXPECT_EQ(jstest::Evaluate(Entry("return '' + dnsResolve('intranet.corp');")).result, "null");
}

// A lookup slower than its bound counts as not resolving, its wait counts
// in the evaluation's time, and meanwhile the in-process engine is free.
TEST(JsDnsEngine, SlowLookupsStayWithinTheBounds) {
  DnsFixture f;
  auto running = std::async(std::launch::async, [&] {
    // The script returns right after the lookup that ran it out of time.
    return f.Run(
        Entry("var first = dnsResolve('slow.example'); var second = dnsResolve('slow2.example');"
              "return first + ',' + second + ',' + dnsResolve('slow3.example');"));
  });
  ASSERT_TRUE(f.resolver->WaitForLookups(1));
  EXPECT_EQ(jstest::Evaluate(Entry("return 'DIRECT';")).result, "DIRECT");
  f.clock.Advance(ovplatform::kHostLookupBound);  // the first lookup's bound
  ASSERT_TRUE(f.resolver->WaitForLookups(2));
  f.clock.Advance(std::chrono::milliseconds(kJsDefaultTimeLimitMs));  // the evaluation's
  const ovplatform::PacEvaluation out = running.get();
  EXPECT_FALSE(out.ok);
  EXPECT_NE(out.detail.find("ran longer than"), std::string::npos) << out.detail;
  // Once over its time the script asks nothing more.
  EXPECT_EQ(f.resolver->TotalLookups(), 2);
}

TEST(JsDnsEngine, AScriptAskingThousandsOfNamesEndsAtTheTimeBound) {
  DnsFixture f;
  // Every lookup takes 10 ms of the test clock.
  f.resolver->on_lookup = [&](const std::string&) {
    f.clock.Advance(std::chrono::milliseconds(10));
  };
  const ovplatform::PacEvaluation out = f.Run(
      Entry("for (var i = 0; i < 100000; i++) dnsResolve('n' + i + '.example'); return 'DIRECT';"));
  EXPECT_FALSE(out.ok);
  EXPECT_NE(out.detail.find("ran longer than"), std::string::npos) << out.detail;
  EXPECT_LE(f.resolver->TotalLookups(), kJsDefaultTimeLimitMs / 10 + 1);
}

}  // namespace
}  // namespace OVProxy
