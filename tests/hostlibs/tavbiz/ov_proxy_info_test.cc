#include "tavbiz/ov_proxy_info.h"

#include <gtest/gtest.h>

namespace OVProxy {
namespace {

TEST(ProxyInfo, UseNamedProxyReadsResolverOutput) {
  ovProxyInfo info;
  info.UseNamedProxy("HTTPS://h:443; SOCKS4://s:1080; SOCKS5://t:1081; p:80; DIRECT");
  ASSERT_EQ(info.Count(), 5u);
  EXPECT_TRUE(info.is_https());
  EXPECT_EQ(info.At(1), ovProxyServer("s", 1080, "SOCKS4"));
  EXPECT_EQ(info.At(2), ovProxyServer("t", 1081, "SOCKS5"));
  EXPECT_EQ(info.At(3), ovProxyServer("p", 80, "HTTP"));
  EXPECT_TRUE(info.At(4).is_direct());
  EXPECT_EQ(info.ToPacString(), "HTTPS h:443; SOCKS4 s:1080; SOCKS5 t:1081; PROXY p:80; DIRECT");
}

TEST(ProxyInfo, UseNamedProxyEdgeForms) {
  ovProxyInfo info;
  info.UseNamedProxy("h:80");
  EXPECT_TRUE(info.is_http());
  EXPECT_EQ(info.Count(), 1u);

  info.UseNamedProxy("DIRECT");
  EXPECT_TRUE(info.is_direct());
  EXPECT_EQ(info.Count(), 1u);

  // A port of 0 is left out by producers; the scheme's default fills it.
  info.UseNamedProxy("HTTPS://h");
  EXPECT_EQ(info.proxy_server().port, 443);

  info.UseNamedProxy(";; bad:port ;");
  EXPECT_TRUE(info.is_empty());
  info.UseNamedProxy("");
  EXPECT_TRUE(info.is_empty());
}

TEST(ProxyInfo, PredicatesLookAtTheFirstServer) {
  ovProxyInfo info;
  EXPECT_FALSE(info.is_direct());
  EXPECT_FALSE(info.proxy_server().isValid());
  EXPECT_FALSE(info.At(7).isValid());

  info.UseProxyServer(ovProxyServer("s", 1080, "socks4"));
  info.AddProxyServer(ovProxyServer::CreateDirect());
  EXPECT_TRUE(info.is_socks());
  EXPECT_FALSE(info.is_direct());
  EXPECT_EQ(info.Count(), 2u);

  info.UseDirect();
  EXPECT_TRUE(info.is_direct());
  EXPECT_EQ(info.Count(), 1u);
}

TEST(ProxyInfo, CopiesAreIndependent) {
  ovProxyInfo a;
  a.UseNamedProxy("a:1");
  ovProxyInfo b = a;
  b.AddProxyServer(ovProxyServer::CreateDirect());
  EXPECT_EQ(a.Count(), 1u);
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace OVProxy
