#include "tavbiz/ov_proxy_info.h"

#include <gtest/gtest.h>

namespace OVProxy {
namespace {

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
  EXPECT_FALSE(ovProxyInfo().At(7).isValid());  // not a crash
}

}  // namespace
}  // namespace OVProxy
