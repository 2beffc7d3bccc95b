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
      {"SOCKS4://h:1080", "SOCKS4 h 1080"},
      {"socks://h", "SOCKS5 h 1080"},
      {"PROXY a:80", "HTTP a 80"},
      {"SOCKS5 s:1080", "SOCKS5 s 1080"},
      {"direct", "DIRECT  0"},
      {"[::1]:3128", "HTTP [::1] 3128"},
      {"[fe80::1%eth0]", "HTTP [fe80::1%eth0] 80"},
      {"::1", "HTTP [::1] 80"},
      {"h:0065535", "HTTP h 65535"},
      {"", ""},
      {"h:0", ""},
      {"h:65536", ""},
      {":80", ""},
      {"[]:80", ""},
      {"ftp://h:21", ""},
      {"user@h:80", ""},
      {"h/path:80", ""},
      {"[::1]x", ""},
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
  EXPECT_EQ(ovProxyServer("h", 0, "HTTPS").ToPacString(), "HTTPS h");
  EXPECT_EQ(ovProxyServer("h", 1, "quic").ToPacString(), "quic h:1");
  EXPECT_FALSE(ovProxyServer("h", 65536, "HTTP").isValid());
}

}  // namespace
}  // namespace OVProxy
