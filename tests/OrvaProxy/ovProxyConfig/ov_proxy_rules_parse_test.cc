#include <gtest/gtest.h>

#include <ostream>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"

namespace OVProxy {
namespace {

using Rules = ovProxyConfig::ProxyRules;
using RulesType = ovProxyConfig::RulesType;

Rules Parse(std::string_view text) {
  Rules rules;
  rules.ParseFromString(text);
  return rules;
}

TEST(ProxyRulesParse, SingleListWhenThereIsNoEquals) {
  Rules rules = Parse("proxy:8080");
  EXPECT_EQ(rules.type, RulesType::SingleList);
  ASSERT_EQ(rules.single_proxies.size(), 1u);
  EXPECT_EQ(rules.single_proxies.First(), ovProxyServer("proxy", 8080, "HTTP"));
}

TEST(ProxyRulesParse, PerSchemeEntries) {
  Rules rules = Parse("http=a:80;https=b:443");
  EXPECT_EQ(rules.type, RulesType::PerScheme);
  EXPECT_EQ(rules.proxies_for_http.First(), ovProxyServer("a", 80, "HTTP"));
  EXPECT_EQ(rules.proxies_for_https.First(), ovProxyServer("b", 443, "HTTPS"));
  EXPECT_TRUE(rules.single_proxies.IsEmpty());
}

struct EntryCase {
  const char* text;
  const char* list;  // which list gets the server, or "" for none
  const char* host;
  int32_t port;
  const char* scheme;
};

void PrintTo(const EntryCase& c, std::ostream* os) {
  *os << "\"" << c.text << "\"";
}

const ovProxyList& ListNamed(const Rules& rules, std::string_view name) {
  if (name == "http") return rules.proxies_for_http;
  if (name == "https") return rules.proxies_for_https;
  if (name == "ftp") return rules.proxies_for_ftp;
  return rules.socks_proxies;
}

class ProxyRulesEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(ProxyRulesEntry, LandsInItsList) {
  const EntryCase& c = GetParam();
  Rules rules = Parse(c.text);
  if (std::string_view(c.list).empty()) {
    EXPECT_EQ(rules.type, RulesType::None) << c.text;
    EXPECT_TRUE(rules.proxies_for_http.IsEmpty() && rules.proxies_for_https.IsEmpty() &&
                rules.proxies_for_ftp.IsEmpty() && rules.socks_proxies.IsEmpty());
    return;
  }
  EXPECT_EQ(rules.type, RulesType::PerScheme) << c.text;
  const ovProxyList& list = ListNamed(rules, c.list);
  ASSERT_EQ(list.size(), 1u) << c.text;
  EXPECT_EQ(list.First().host, c.host);
  EXPECT_EQ(list.First().port, c.port);
  EXPECT_EQ(list.First().scheme, c.scheme);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ProxyRulesEntry,
    ::testing::Values(EntryCase{"http=a", "", "", 0, ""},        // no port
                      EntryCase{"http=a:0", "", "", 0, ""},      // port 0
                      EntryCase{"http=a:70000", "", "", 0, ""},  // above 65535
                      EntryCase{"http=a:8o", "", "", 0, ""},     // letter in the port
                      EntryCase{"http=a:", "", "", 0, ""},       // nothing after ':'
                      EntryCase{"http=", "", "", 0, ""},         // nothing after '='
                      EntryCase{"http=a:99999999999999999999", "", "", 0, ""},
                      EntryCase{"HTTP=a:80", "", "", 0, ""},  // keys are case-sensitive
                      EntryCase{"gopher=a:70", "", "", 0, ""},
                      EntryCase{"; http=;;=a:1", "", "", 0, ""},
                      EntryCase{" \thttp \t=a:80", "http", "a", 80, "HTTP"},
                      EntryCase{"http= a:80", "http", " a", 80, "HTTP"},
                      EntryCase{"ftp=f:21", "ftp", "f", 21, "HTTP"},
                      EntryCase{"socks=s:1080", "socks", "s", 1080, "SOCKS5"},
                      EntryCase{"socksx=s:1", "socks", "s", 1, "SOCKS5"},
                      EntryCase{"socks4=s:2", "socks", "s", 2, "SOCKS4"},
                      EntryCase{"socks4a=s:3", "socks", "s", 3, "SOCKS4"},
                      EntryCase{"socks5h=s:4", "socks", "s", 4, "SOCKS5"},
                      EntryCase{"https=[2001:db8::1]:8443", "https", "[2001:db8::1]", 8443,
                                "HTTPS"},
                      EntryCase{"http=a:65535", "http", "a", 65535, "HTTP"}));

TEST(ProxyRulesParse, ReparseClearsListsButKeepsBypass) {
  Rules rules;
  rules.bypass_rules.ParseFromString("corp;<local>");
  rules.invert_bypass = true;
  rules.ParseFromString("http=a:80;socks=s:1080");
  rules.ParseFromString("");
  EXPECT_EQ(rules.type, RulesType::None);
  EXPECT_TRUE(rules.proxies_for_http.IsEmpty());
  EXPECT_TRUE(rules.socks_proxies.IsEmpty());
  EXPECT_EQ(rules.bypass_rules.ToString(), "<local>;corp");
  EXPECT_TRUE(rules.invert_bypass);
}

TEST(ProxyRulesParse, SeveralEntriesPerListKeepOrder) {
  Rules rules = Parse("http=a:1;http=b:2;bogus;https=c:3");
  ASSERT_EQ(rules.proxies_for_http.size(), 2u);
  EXPECT_EQ(rules.proxies_for_http.ToPacString(), "PROXY a:1; PROXY b:2");
}

}  // namespace
}  // namespace OVProxy
