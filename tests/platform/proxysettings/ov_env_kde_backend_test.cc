#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/proxysettings/ov_env_proxy_backend.h"
#include "platform/proxysettings/ov_kde_proxy_backend.h"

namespace ovplatform {
namespace {

using Env = std::map<std::string, std::string>;

EnvLookup LookupIn(const Env& env) {
  return [&env](const std::string& name) -> std::optional<std::string> {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  };
}

// "auto-detect|PAC URL|proxy|bypass".
std::string Summary(const UserProxySettings& got) {
  return std::to_string(got.auto_detect) + "|" + got.auto_config_url + "|" + got.proxy + "|" +
         got.bypass;
}

TEST(EnvironmentBackendTest, Table) {
  const struct {
    const char* name;
    Env env;
    const char* want;
  } cases[] = {
      {"per scheme, credentials dropped",
       {{"http_proxy", "http://u:p@a:1/"}, {"https_proxy", "b:2"}, {"ftp_proxy", "c:3"}},
       "0||http=a:1;https=b:2;ftp=c:3|"},
      {"empty lower case does not hide upper case",
       {{"http_proxy", ""}, {"HTTP_PROXY", "up:2"}},
       "0||http=up:2|"},
      {"all_proxy fills the missing schemes",
       {{"http_proxy", "a:1"}, {"all_proxy", "all:8"}},
       "0||http=a:1;https=all:8;ftp=all:8|"},
      {"a SOCKS scheme picks the SOCKS key",
       {{"all_proxy", "socks4://s:9"}, {"https_proxy", "socks5://t:1"}},
       "0||socks5=t:1|"},
      {"an unusable value is left out",
       {{"http_proxy", "http://a;https=evil:1"}, {"https_proxy", "b:2"}},
       "0||https=b:2|"},
      {"auto_proxy set but empty detects", {{"auto_proxy", ""}}, "1|||"},
  };
  for (const auto& c : cases) {
    UserProxySettings got;
    got.proxy = "stale";
    ReadEnvironmentProxySettings(LookupIn(c.env), got);
    EXPECT_EQ(Summary(got), c.want) << c.name;
  }
}

TEST(KdeBackendTest, Table) {
  const struct {
    const char* settings;  // follows a "[Proxy Settings]" line
    Env env;
    const char* want;
    bool reversed = false;
  } cases[] = {
      {"ProxyType=1\nhttpProxy=http://a 8080\nhttpsProxy=http://b:8443\nftpProxy=\n"
       "socksProxy=socks://s 1080\nNoProxyFor=.kde.org,localhost\n",
       {},
       "0||http=a:8080;https=b:8443;socks5=s:1080|kde.org;localhost"},
      // Reversed exceptions are dropped.
      {"ProxyType=1\nhttpProxy=http://a 1\nNoProxyFor=only.this\nReversedException=true\n",
       {},
       "0||http=a:1|",
       true},
      {"ProxyType=2\nProxy Config Script=http://p/x.pac\n", {}, "0|http://p/x.pac||"},
      // Values from named variables.
      {"ProxyType=4\nhttpProxy=MY_HTTP\nhttpsProxy=UNSET_VAR\nNoProxyFor=MY_NO\n",
       {{"MY_HTTP", "http://e:3"}, {"MY_NO", "x.org"}},
       "0||http=e:3|x.org"},
  };
  for (const auto& c : cases) {
    UserProxySettings got;
    bool reversed = false;
    ASSERT_TRUE(ReadKdeProxySettings(std::string("[Proxy Settings]\n") + c.settings,
                                     LookupIn(c.env), got, &reversed));
    EXPECT_EQ(Summary(got), c.want) << c.settings;
    EXPECT_EQ(reversed, c.reversed) << c.settings;
  }
  // Without the group, or without a type, KDE has nothing to say.
  for (const char* text : {"[Other]\nProxyType=1\n", "[Proxy Settings]\nhttpProxy=http://a 1\n"}) {
    UserProxySettings got;
    EXPECT_FALSE(ReadKdeProxySettings(text, LookupIn({}), got)) << text;
  }
}

}  // namespace
}  // namespace ovplatform
