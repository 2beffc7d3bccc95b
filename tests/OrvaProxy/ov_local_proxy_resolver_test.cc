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

TEST(LocalProxyResolver, RefusesBeforeInitializeAndLeavesTheResultAlone) {
  ovLocalProxyResolver resolver;
  EXPECT_EQ(resolver.getName(), "LocalProxy");
  EXPECT_FALSE(resolver.isAvailable());
  ovProxyInfo result;
  result.UseNamedProxy("PROXY keep:1");
  EXPECT_EQ(resolver.resolve("id", "http://a/", "", Manual("p:80"), result),
            e_resolver_not_initialized);
  EXPECT_EQ(result.ToPacString(), "PROXY keep:1");

  EXPECT_EQ(resolver.initialize(), e_success);
  EXPECT_TRUE(resolver.isAvailable());
  EXPECT_EQ(resolver.uninitialize(), e_success);
  EXPECT_FALSE(resolver.isAvailable());
  EXPECT_EQ(resolver.resolve("id", "http://a/", "", Manual("p:80"), result),
            e_resolver_not_initialized);
}

TEST(LocalProxyResolver, AnswersTheFirstServerOfTheFirstUsableList) {
  ovLocalProxyResolver resolver;
  resolver.initialize();
  const struct {
    const char* rules;
    const char* url;
    const char* answer;
  } cases[] = {
      {"a:80;b:81", "ftp://x/", "PROXY a:80"},
      {"http=h:80;https=s:443", "https://x/", "PROXY h:80"},  // the scheme plays no part
      {"https=s:8443", "http://x/", "HTTPS s:8443"},
      {"ftp=f:21", "https://x/", "PROXY f:21"},
      {"socks=s1:1080", "http://x/", "SOCKS5 s1:1080"},
      {"http=h:80;socks=s1:1080", "http://x/", "PROXY h:80"},
      {"", "http://x/", "DIRECT"},  // rules of type None
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Resolve(resolver, Manual(c.rules), c.url), c.answer) << c.rules;
  }

  // A single list that ended up empty, and no configuration at all.
  auto empty_single = std::make_shared<ovProxyConfig>();
  empty_single->proxy_rules().type = ovProxyConfig::RulesType::SingleList;
  EXPECT_EQ(Resolve(resolver, empty_single, "http://x/"), "DIRECT");
  EXPECT_EQ(Resolve(resolver, nullptr, "http://x/"), "DIRECT");

  // Bypass rules are the caller's business.
  auto bypassed = Manual("p:80");
  bypassed->proxy_rules().bypass_rules.ParseFromString("x");
  EXPECT_EQ(Resolve(resolver, bypassed, "http://x/"), "PROXY p:80");
}

}  // namespace
}  // namespace OVProxy
