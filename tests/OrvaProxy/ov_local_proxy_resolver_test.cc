#include "OrvaProxy/ov_local_proxy_resolver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace OVProxy {
namespace {

std::shared_ptr<ovProxyConfig> Manual(const std::string& rules) {
  auto config = std::make_shared<ovProxyConfig>();
  config->proxy_rules().ParseFromString(rules);
  return config;
}

std::string Resolve(ovLocalProxyResolver& resolver, std::shared_ptr<ovProxyConfig> config,
                    const std::string& url) {
  ovProxyInfo result;
  EXPECT_EQ(resolver.resolve("id", url, "", std::move(config), result), e_success);
  return result.ToPacString();
}

TEST(LocalProxyResolver, AnswersTheFirstServerOfTheFirstUsableList) {
  ovLocalProxyResolver resolver;
  ovProxyInfo untouched;
  untouched.UseNamedProxy("PROXY keep:1");
  EXPECT_EQ(resolver.resolve("id", "http://a/", "", Manual("p:80"), untouched),
            e_resolver_not_initialized);
  EXPECT_EQ(untouched.ToPacString(), "PROXY keep:1");

  resolver.initialize();
  auto empty_single = std::make_shared<ovProxyConfig>();
  empty_single->proxy_rules().type = ovProxyConfig::RulesType::SingleList;
  auto bypassed = Manual("p:80");  // bypass rules are the caller's business
  bypassed->proxy_rules().bypass_rules.ParseFromString("x");
  const struct {
    std::shared_ptr<ovProxyConfig> config;
    const char* url;
    const char* answer;
  } cases[] = {
      {Manual("a:80;b:81"), "ftp://x/", "PROXY a:80"},
      {Manual("http=h:80;https=s:443"), "https://x/", "PROXY h:80"},  // the scheme plays no part
      {Manual("https=s:8443"), "http://x/", "HTTPS s:8443"},
      {Manual("socks=s1:1080"), "http://x/", "SOCKS5 s1:1080"},
      {empty_single, "http://x/", "DIRECT"},
      {nullptr, "http://x/", "DIRECT"},
      {bypassed, "http://x/", "PROXY p:80"},
  };
  for (const auto& c : cases) EXPECT_EQ(Resolve(resolver, c.config, c.url), c.answer) << c.answer;
}

}  // namespace
}  // namespace OVProxy
