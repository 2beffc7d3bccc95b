#include <gtest/gtest.h>

#include "tavbiz/ov_proxy_info.h"
#include "tavbiz/ov_proxy_list.h"
#include "tavbiz/ov_proxy_server.h"

namespace OVProxy {
namespace {

TEST(ProxyServer, FromStringGrammar) {
  const std::pair<const char*, const char*> cases[] = {
      // text, "scheme host port" or "" when rejected
      {"  proxy.corp:3128 ", "HTTP proxy.corp 3128"},
      {"proxy", "HTTP proxy 80"},
      {"https://h", "HTTPS h 443"},
      {"socks://h", "SOCKS5 h 1080"},
      {"PROXY a:80", "HTTP a 80"},
      {"SOCKS5 s:1080", "SOCKS5 s 1080"},
      {"direct", "DIRECT  0"},
      {"[::1]:3128", "HTTP [::1] 3128"},
      {"::1", "HTTP [::1] 80"},
      {"h:0065535", "HTTP h 65535"},
      {"", ""},
      {":80", ""},
      {"ftp://h:21", ""},
      {"user@h:80", ""},
      {"h/path:80", ""},
      {"QUIC h:443", ""},
  };
  for (const auto& [text, want] : cases) {
    const std::optional<ovProxyServer> server = ovProxyServer::FromString(text);
    const std::string parsed =
        server ? server->scheme + " " + server->host + " " + std::to_string(server->port) : "";
    EXPECT_EQ(parsed, want) << '"' << text << '"';
    EXPECT_TRUE(!server || server->isValid()) << text;
  }
}

TEST(ProxyServer, PacFormAndEqualityIgnoreCredentials) {
  ovProxyServer a("a", 80, "HTTP");
  ovProxyServer b = a;
  b.setCredentials("user", "secret");
  EXPECT_EQ(a, b);
  EXPECT_EQ(b.ToPacString(), "PROXY a:80");
  EXPECT_EQ(ovProxyServer("s", 1080, "socks4").ToPacString(), "SOCKS4 s:1080");
}

TEST(ProxyList, SetAcceptsSeveralSeparatorsAndSkipsBadEntries) {
  ovProxyList list;
  list.Set("x:1");
  list.Set("a:80; b:81 ,c:82\td:0 socks5://s:1080");
  EXPECT_EQ(list.ToPacString(), "PROXY a:80; PROXY b:81; PROXY c:82; SOCKS5 s:1080");
  list.Set("");
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_FALSE(list.First().isValid());  // out of range: not a crash
}

TEST(ProxyInfo, UseNamedProxyReadsResolverOutput) {
  const std::pair<const char*, const char*> cases[] = {
      {"HTTPS://h:443; SOCKS4://s:1080; SOCKS5://t:1081; p:80; DIRECT",
       "HTTPS h:443; SOCKS4 s:1080; SOCKS5 t:1081; PROXY p:80; DIRECT"},
      {"HTTPS://h", "HTTPS h:443"},  // a port of 0 is left out by producers
      {";; bad:port ;", ""},
  };
  for (const auto& [text, answer] : cases) {
    ovProxyInfo info;
    info.UseNamedProxy(text);
    EXPECT_EQ(info.ToPacString(), answer) << text;
  }
  EXPECT_FALSE(ovProxyInfo().At(7).isValid());  // out of range: not a crash
}

}  // namespace
}  // namespace OVProxy
