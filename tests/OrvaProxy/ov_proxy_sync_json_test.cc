#include "OrvaProxy/ov_proxy_sync_json.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

namespace OVProxy {
namespace {

using RulesType = ovProxyConfig::RulesType;

Json::Value ParseOrDie(const std::string& text) {
  auto value = sync_json::Parse(text);
  EXPECT_TRUE(value.has_value()) << text;
  return value.value_or(Json::Value());
}

ovProxyConfig ManualConfig() {
  ovProxyConfig config;
  config.setAutoDetectEnabled(true);
  config.setPacUrl("http://wpad.corp/proxy.pac");
  config.setPacContent("function FindProxyForURL(u, h) { return \"PROXY p:1\"; }");
  config.setPacFileType(ovPacFileType::Ins);
  auto& rules = config.proxy_rules();
  rules.type = RulesType::PerScheme;
  ovProxyServer http("http.corp", 8080, "HTTP");
  http.setCredentials("user", "secret");
  rules.proxies_for_http.AddProxyServer(http);
  rules.proxies_for_http.AddProxyServer(ovProxyServer("second", 1, "HTTP"));
  rules.proxies_for_https.AddProxyServer(ovProxyServer("https.corp", 8443, "HTTPS"));
  rules.single_proxies.AddProxyServer(ovProxyServer("socks.corp", 1080, "SOCKS5"));
  rules.bypass_rules.AddRuleFromString("*.local");
  rules.bypass_rules.AddRuleFromString("10.1.2.3");
  return config;
}

TEST(ProxySyncJsonTest, ConfigurationTravelsThroughItsObject) {
  const ovProxyConfig sent = ManualConfig();
  ovProxyConfig received;
  ASSERT_TRUE(config_from_json(config_to_json(sent), received));
  EXPECT_TRUE(received.auto_detect());
  EXPECT_EQ(received.getPacContent(), sent.getPacContent());
  const auto& rules = received.proxy_rules();
  // Only the first server of each list travels; the rules type stays.
  ASSERT_EQ(rules.proxies_for_http.size(), 1u);
  EXPECT_EQ(rules.proxies_for_http.First(), sent.proxy_rules().proxies_for_http.First());
  EXPECT_EQ(rules.single_proxies.First().scheme, "SOCKS5");
  EXPECT_EQ(rules.type, RulesType::None);
  EXPECT_EQ(rules.bypass_rules.rules(), sent.proxy_rules().bypass_rules.rules());
}

TEST(ProxySyncJsonTest, MembersOfTheWrongTypeAreSkippedOneByOne) {
  const std::string good_server = R"({"host":"h","port":80,"type":"HTTP"})";
  const struct {
    const char* member;
    const char* bad_value;
  } cases[] = {
      {"auto_detect_enabled", R"("true")"},
      {"pac_url", "42"},
      {"pac_content", "null"},
      {"pac_file_type", "99999999999"},
      {"http_proxy", R"({"host":"h","port":"80","type":"HTTP"})"},
      {"socks_proxy", R"({"host":"h","port":80,"type":5})"},
      {"bypass_list", R"("a;b")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.member) + "=" + c.bad_value);
    Json::Value object =
        ParseOrDie(R"({"auto_detect_enabled":true,"pac_url":"u","pac_content":"c",
        "pac_file_type":1,"http_proxy":)" +
                   good_server + R"(,"https_proxy":)" + good_server + R"(,"socks_proxy":)" +
                   good_server + R"(,"bypass_list":["x"]})");
    object[c.member] = ParseOrDie(c.bad_value);
    ovProxyConfig config;
    ASSERT_TRUE(config_from_json(sync_json::Write(object), config));
    const auto& rules = config.proxy_rules();
    const std::string member = c.member;
    EXPECT_EQ(config.auto_detect(), member != "auto_detect_enabled");
    EXPECT_EQ(config.getPacUrl(), member == "pac_url" ? "" : "u");
    EXPECT_EQ(config.getPacContent(), member == "pac_content" ? "" : "c");
    EXPECT_EQ(config.getPacFileType(),
              member == "pac_file_type" ? ovPacFileType::Unknown : ovPacFileType::Pac);
    EXPECT_EQ(rules.proxies_for_http.IsEmpty(), member == "http_proxy");
    EXPECT_EQ(rules.proxies_for_https.IsEmpty(), member == "https_proxy");
    EXPECT_EQ(rules.single_proxies.IsEmpty(), member == "socks_proxy");
    EXPECT_EQ(rules.bypass_rules.rules().empty(), member == "bypass_list");
  }
}

TEST(ProxySyncJsonTest, CredentialsNeedBothTextsAndBypassListsSkipOtherElements) {
  ovProxyConfig config;
  ASSERT_TRUE(config_from_json(
      R"({"http_proxy":{"host":"h","port":80,"type":"HTTP","username":"u","password":7},
          "bypass_list":["a", 3, null, "b", {"x":1}]})",
      config));
  EXPECT_FALSE(config.proxy_rules().proxies_for_http.First().hasCredentials());
  EXPECT_EQ(config.proxy_rules().bypass_rules.rules(), (std::vector<std::string>{"a", "b"}));
}

TEST(ProxySyncJsonTest, TextsThatAreNoObjectAreRefused) {
  for (const char* text : {"", "{", "null", "42", "[1,2]"}) {
    ovProxyConfig config;
    EXPECT_FALSE(config_from_json(text, config)) << text;
    ovHostCacheMap cache;
    EXPECT_FALSE(host_cache_from_json(text, cache)) << text;
  }
}

TEST(ProxySyncJsonTest, HostCacheTravelsWithDefaultsForMissingMembers) {
  ovHostCacheMap sent;
  ovProxyInfo proxy;
  proxy.UseProxyServer(ovProxyServer("p.corp", 3128, "HTTP"));
  sent["b.example"] = proxy;
  sent["a.example"] = ovProxyInfo();  // an empty answer
  ovHostCacheMap received;
  received["kept.example"] = proxy;
  ASSERT_TRUE(host_cache_from_json(host_cache_to_json(sent), received));
  ASSERT_EQ(received.size(), 3u) << "entries are inserted or replaced, not cleared";
  EXPECT_EQ(received["b.example"], proxy);
  EXPECT_EQ(received["a.example"].proxy_server().scheme, "direct");

  ovHostCacheMap partial;
  ASSERT_TRUE(host_cache_from_json(
      R"({"cache_list":[{"host":"no-port","proxy_host":"p"},
                        {"host":"bad-types","proxy_host":"p","proxy_port":"1","proxy_type":2},
                        {"host":"no-proxy-host"}, {"proxy_host":"no-host"}, 5,
                        {"host":7,"proxy_host":"p"}]})",
      partial));
  ASSERT_EQ(partial.size(), 2u);
  for (const char* host : {"no-port", "bad-types"}) {
    EXPECT_EQ(partial[host].proxy_server().port, 8080) << host;
    EXPECT_EQ(partial[host].proxy_server().scheme, "http") << host;
  }
}

}  // namespace
}  // namespace OVProxy
