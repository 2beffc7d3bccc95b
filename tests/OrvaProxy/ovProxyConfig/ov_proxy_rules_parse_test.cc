#include <gtest/gtest.h>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"

namespace OVProxy {
namespace {

using Rules = ovProxyConfig::ProxyRules;
using RulesType = ovProxyConfig::RulesType;

// Every list in PAC form, in the order single|http|https|ftp|socks.
std::string Lists(const Rules& rules) {
  return rules.single_proxies.ToPacString() + "|" + rules.proxies_for_http.ToPacString() + "|" +
         rules.proxies_for_https.ToPacString() + "|" + rules.proxies_for_ftp.ToPacString() + "|" +
         rules.socks_proxies.ToPacString();
}

TEST(ProxyRulesParse, EntriesLandInTheirLists) {
  const struct {
    const char* text;
    RulesType type;
    const char* lists;
  } cases[] = {
      {"proxy:8080", RulesType::SingleList, "PROXY proxy:8080||||"},
      {"http=a:80;https=b:443", RulesType::PerScheme, "|PROXY a:80|HTTPS b:443||"},
      {" \thttp \t=a:80", RulesType::PerScheme, "|PROXY a:80|||"},
      {"http= a:80", RulesType::PerScheme, "|PROXY  a:80|||"},  // the value is not trimmed
      {"http=a:1;http=b:2;bogus;https=c:3", RulesType::PerScheme,
       "|PROXY a:1; PROXY b:2|HTTPS c:3||"},
      {"socks=s:1080;socksx=t:1", RulesType::PerScheme, "||||SOCKS5 s:1080; SOCKS5 t:1"},
      {"socks4=s:2;socks4a=t:3;socks5h=u:4", RulesType::PerScheme,
       "||||SOCKS4 s:2; SOCKS4 t:3; SOCKS5 u:4"},
      // Nothing usable: no port, port 0, too large, not digits, no host.
      {"http=a;http=a:0;http=a:8o;http=", RulesType::None, "||||"},
      {"http=:80;https= :443;socks=[]:1080", RulesType::None, "||||"},
      {"HTTP=a:80;gopher=a:70;; http=;;=a:1", RulesType::None, "||||"},
  };
  for (const auto& c : cases) {
    Rules rules;
    rules.ParseFromString(c.text);
    EXPECT_EQ(rules.type, c.type) << c.text;
    EXPECT_EQ(Lists(rules), c.lists) << c.text;
  }
}

TEST(ProxyRulesParse, ReparseClearsListsButKeepsBypass) {
  Rules rules;
  rules.bypass_rules.ParseFromString("corp;<local>");
  rules.invert_bypass = true;
  rules.ParseFromString("http=a:80;socks=s:1080");
  rules.ParseFromString("");
  EXPECT_EQ(rules.type, RulesType::None);
  EXPECT_EQ(Lists(rules), "||||");
  EXPECT_EQ(rules.bypass_rules.ToString(), "<local>;corp");
  EXPECT_TRUE(rules.invert_bypass);
}

}  // namespace
}  // namespace OVProxy
