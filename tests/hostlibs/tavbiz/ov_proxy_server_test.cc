#include "tavbiz/ov_proxy_server.h"

#include <gtest/gtest.h>

namespace OVProxy {
namespace {

TEST(ProxyServer, FromStringGrammar) {
  const struct {
    const char* text;
    const char* parsed;  // "scheme host port", or "" when rejected
  } cases[] = {
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
  for (const auto& c : cases) {
    const std::optional<ovProxyServer> server = ovProxyServer::FromString(c.text);
    const std::string parsed =
        server ? server->scheme + " " + server->host + " " + std::to_string(server->port) : "";
    EXPECT_EQ(parsed, c.parsed) << '"' << c.text << '"';
    EXPECT_TRUE(!server || server->isValid()) << c.text;
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

}  // namespace
}  // namespace OVProxy
