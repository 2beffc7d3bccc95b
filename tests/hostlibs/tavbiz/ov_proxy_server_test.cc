#include "tavbiz/ov_proxy_server.h"

#include <gtest/gtest.h>

#include <ostream>

namespace OVProxy {
namespace {

struct FromStringCase {
  const char* text;
  bool ok;
  const char* host;
  int32_t port;
  const char* scheme;
};

void PrintTo(const FromStringCase& c, std::ostream* os) {
  *os << "\"" << c.text << "\"";
}

class ProxyServerFromString : public ::testing::TestWithParam<FromStringCase> {};

TEST_P(ProxyServerFromString, ParsesEntry) {
  const FromStringCase& c = GetParam();
  std::optional<ovProxyServer> server = ovProxyServer::FromString(c.text);
  ASSERT_EQ(server.has_value(), c.ok) << c.text;
  if (!c.ok) return;
  EXPECT_EQ(server->host, c.host);
  EXPECT_EQ(server->port, c.port);
  EXPECT_EQ(server->scheme, c.scheme);
  EXPECT_TRUE(server->isValid());
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ProxyServerFromString,
    ::testing::Values(
        FromStringCase{"proxy:8080", true, "proxy", 8080, "HTTP"},
        FromStringCase{"proxy", true, "proxy", 80, "HTTP"},
        FromStringCase{"  proxy.corp:3128 ", true, "proxy.corp", 3128, "HTTP"},
        FromStringCase{"HTTPS://h:443", true, "h", 443, "HTTPS"},
        FromStringCase{"https://h", true, "h", 443, "HTTPS"},
        FromStringCase{"SOCKS4://h:1080", true, "h", 1080, "SOCKS4"},
        FromStringCase{"socks4a://h:9", true, "h", 9, "SOCKS4"},
        FromStringCase{"SOCKS5://h:1081", true, "h", 1081, "SOCKS5"},
        FromStringCase{"socks://h", true, "h", 1080, "SOCKS5"},
        FromStringCase{"PROXY a:80", true, "a", 80, "HTTP"},
        FromStringCase{"SOCKS5 s:1080", true, "s", 1080, "SOCKS5"},
        FromStringCase{"direct", true, "", 0, "DIRECT"},
        FromStringCase{"DIRECT", true, "", 0, "DIRECT"},
        FromStringCase{"[::1]:3128", true, "[::1]", 3128, "HTTP"},
        FromStringCase{"[fe80::1%eth0]", true, "[fe80::1%eth0]", 80, "HTTP"},
        FromStringCase{"::1", true, "[::1]", 80, "HTTP"}, FromStringCase{"", false, "", 0, ""},
        FromStringCase{"   ", false, "", 0, ""}, FromStringCase{"h:0", false, "", 0, ""},
        FromStringCase{"h:65536", false, "", 0, ""},
        FromStringCase{"h:99999999999999999999", false, "", 0, ""},
        FromStringCase{"h:8o", false, "", 0, ""}, FromStringCase{"h:", false, "", 0, ""},
        FromStringCase{":80", false, "", 0, ""}, FromStringCase{"ftp://h:21", false, "", 0, ""},
        FromStringCase{"user@h:80", false, "", 0, ""},
        FromStringCase{"h/path:80", false, "", 0, ""}, FromStringCase{"[::1", false, "", 0, ""},
        FromStringCase{"[::1]x", false, "", 0, ""},
        FromStringCase{"QUIC h:443", false, "", 0, ""}));

TEST(ProxyServer, PredicatesIgnoreSchemeCase) {
  EXPECT_TRUE(ovProxyServer("h", 80, "http").is_http());
  EXPECT_TRUE(ovProxyServer("h", 443, "Https").is_https());
  EXPECT_TRUE(ovProxyServer("h", 1080, "socks4").is_socks());
  EXPECT_TRUE(ovProxyServer("h", 1080, "SOCKS5").is_socks());
  EXPECT_TRUE(ovProxyServer::CreateDirect().is_direct());
  EXPECT_FALSE(ovProxyServer("h", 80, "HTTP").is_socks());
}

TEST(ProxyServer, Validity) {
  EXPECT_TRUE(ovProxyServer::CreateDirect().isValid());
  EXPECT_FALSE(ovProxyServer().isValid());
  EXPECT_FALSE(ovProxyServer("", 80, "HTTP").isValid());
  EXPECT_FALSE(ovProxyServer("h", 80, "").isValid());
  EXPECT_FALSE(ovProxyServer("h", -1, "HTTP").isValid());
  EXPECT_FALSE(ovProxyServer("h", 65536, "HTTP").isValid());
  EXPECT_TRUE(ovProxyServer("h", 0, "http").isValid());
}

TEST(ProxyServer, PacFormAndEqualityIgnoreCredentials) {
  ovProxyServer a("a", 80, "HTTP");
  ovProxyServer b = a;
  b.setCredentials("user", "secret");
  EXPECT_TRUE(b.hasCredentials());
  EXPECT_EQ(a, b);
  EXPECT_EQ(b.ToPacString(), "PROXY a:80");
  EXPECT_EQ(ovProxyServer("s", 1080, "socks4").ToPacString(), "SOCKS4 s:1080");
  EXPECT_EQ(ovProxyServer("h", 0, "HTTPS").ToPacString(), "HTTPS h");
  EXPECT_EQ(ovProxyServer("h", 1, "quic").ToPacString(), "quic h:1");
  EXPECT_EQ(ovProxyServer::CreateDirect().ToPacString(), "DIRECT");
  EXPECT_NE(a, ovProxyServer("a", 80, "HTTPS"));
}

}  // namespace
}  // namespace OVProxy
