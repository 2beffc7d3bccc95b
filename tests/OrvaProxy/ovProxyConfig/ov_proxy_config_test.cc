// The configuration model: equality, SOCKS detection, proxy rules, bypass.
#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_bypass_rules.h"
#include "onetutils/onet_system_info_provider.h"
#include "onetutils/orva_url_utils.h"
#include "with_and_without_url_utils.h"

namespace OVProxy {
namespace {

TEST(ProxyConfig, EqualityAndSocksDetection) {
  const ovProxyConfig plain = ovProxyConfig::CreateFromCustomPacURL("http://p/x.pac");
  ovProxyConfig config = plain;
  EXPECT_FALSE(config.containsSocksProxy());
  config.setPacContent(std::string(4096, ' ') +
                       "function FindProxyForURL(u,h){return 'SoCkS5 s:1080';}");
  // Equality ignores downloaded state and time, not the rules.
  ovProxyConfig other = config;
  other.setUpdateTimestamp(42);
  other.setPacFileType(ovPacFileType::Ins);
  EXPECT_EQ(other, plain);
  other.proxy_rules().bypass_rules.AddRuleFromString("corp");
  EXPECT_NE(other, plain);
  // Snapshots are shared across threads as immutable; reading one from
  // several threads at once must not race (run under ThreadSanitizer).
  const std::shared_ptr<const ovProxyConfig> snapshot = config.duplicate();
  std::atomic<int> found{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      for (int n = 0; n < 50; ++n) found += snapshot->containsSocksProxy();
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(found.load(), 200);
  EXPECT_TRUE(config.containsSocksProxy());
  config.reset();  // keeps the answer until asked to decide again
  EXPECT_TRUE(config.containsSocksProxy());
  config.resetSocksDetectionCache();
  EXPECT_FALSE(config.containsSocksProxy());
}

using Rules = ovProxyConfig::ProxyRules;
using RulesType = ovProxyConfig::RulesType;

// Every list in PAC form, in the order single|http|https|ftp|socks.
std::string Lists(const Rules& rules) {
  return rules.single_proxies.ToPacString() + "|" + rules.proxies_for_http.ToPacString() + "|" +
         rules.proxies_for_https.ToPacString() + "|" + rules.proxies_for_ftp.ToPacString() + "|" +
         rules.socks_proxies.ToPacString();
}

// One rules object through every case: each parse replaces the lists of the
// one before, and keeps the bypass rules.
TEST(ProxyRulesParse, EntriesLandInTheirLists) {
  const struct {
    const char* text;
    RulesType type;
    const char* lists;
  } cases[] = {
      {"http=a:80;socks=s:1080", RulesType::PerScheme, "|PROXY a:80|||SOCKS5 s:1080"},
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
      {"", RulesType::None, "||||"},
  };
  Rules rules;
  rules.bypass_rules.ParseFromString("corp;<local>");
  rules.invert_bypass = true;
  for (const auto& c : cases) {
    rules.ParseFromString(c.text);
    EXPECT_EQ(rules.type, c.type) << c.text;
    EXPECT_EQ(Lists(rules), c.lists) << c.text;
  }
  EXPECT_EQ(rules.bypass_rules.ToString(), "<local>;corp");
  EXPECT_TRUE(rules.invert_bypass);
}

// Every case runs with the network utilities present and without them: both
// roads must give the same host.
class BypassRules : public ovtest_config::WithAndWithoutUrlUtils {
 protected:
  static ovProxyBypassRules Parse(std::string_view text) {
    ovProxyBypassRules rules;
    rules.ParseFromString(text);
    return rules;
  }
};

INSTANTIATE_TEST_SUITE_P(WithAndWithoutUtilities, BypassRules, ::testing::Bool(),
                         ovtest_config::UrlUtilsCaseName);

// Rules "" are the implicit ones alone, checked also through
// MatchesImplicitRules and inverted.
TEST_P(BypassRules, Matching) {
  const struct {
    const char* rules;
    const char* url;
    bool bypassed;
  } cases[] = {
      {"corp.example", "https://corp.example:8443/x", true},
      {"corp.example", "https://evilcorp.example", false},
      {"corp.example", "https://corp.example@evil.example/", false},
      {".corp.example", "https://a.corp.example", false},
      {"*.corp.example", "https://a.corp.example", true},
      {"*corp.example", "https://evilcorp.example", true},
      {"a*.example", "https://ab.example", false},
      {"<local>", "http://intranet:8080/x", true},
      {"<local>", "http://10.1.2.3/", false},
      {"", "http://localhost/x", true},
      {"", "http://127.0.0.1:8080/", true},
      {"", "http://[::1]:8080/", true},
      {"", "http://169.254.10.20/", true},
      {"", "http://localhost.evil.example/", false},
      {"", "http://example.org/?next=http://localhost/", false},
      {"", "http://localhost@evil.example/", false},
      {"", "http://128.0.0.1/", false},
  };
  for (const auto& c : cases) {
    const ovProxyBypassRules rules = Parse(c.rules);
    EXPECT_EQ(rules.Matches(c.url, false), c.bypassed) << c.rules << " " << c.url;
    if (*c.rules != '\0') continue;
    EXPECT_EQ(ovProxyBypassRules::MatchesImplicitRules(c.url), c.bypassed) << c.url;
    EXPECT_EQ(rules.Matches(c.url, true), !c.bypassed) << c.url;
  }
  // Without a host nothing explicit matches; inverted, that goes direct.
  EXPECT_FALSE(Parse("*").Matches("", false));
  EXPECT_TRUE(Parse("*").Matches("", true));
}

}  // namespace
}  // namespace OVProxy
