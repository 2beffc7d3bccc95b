#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace OVProxy {
namespace {

TEST(ProxyConfig, EqualityIgnoresDownloadedStateAndTime) {
  ovProxyConfig a = ovProxyConfig::CreateFromCustomPacURL("http://p/x.pac");
  ovProxyConfig b = a;
  b.setPacContent("function FindProxyForURL(u,h){return 'DIRECT';}");
  b.setUpdateTimestamp(42);
  b.setPacFileType(ovPacFileType::Ins);
  EXPECT_EQ(a, b);

  ovProxyConfig c = a;
  c.proxy_rules().bypass_rules.AddRuleFromString("corp");
  EXPECT_NE(a, c);
}

TEST(ProxyConfig, SocksDetectionFollowsTheScript) {
  ovProxyConfig config;
  EXPECT_FALSE(config.containsSocksProxy());
  config.setPacContent("function FindProxyForURL(u,h){return 'SoCkS5 s:1080';}");
  EXPECT_TRUE(config.containsSocksProxy());
  EXPECT_TRUE(config.duplicate()->containsSocksProxy());
  config.reset();  // keeps the answer until asked to decide again
  EXPECT_TRUE(config.containsSocksProxy());
  config.resetSocksDetectionCache();
  EXPECT_FALSE(config.containsSocksProxy());
}

// Snapshots are shared across threads as immutable; reading one from several
// threads at once must not race (run under ThreadSanitizer).
TEST(ProxyConfig, SharedSnapshotIsReadableFromSeveralThreads) {
  ovProxyConfig config = ovProxyConfig::CreateFromCustomPacURL("http://p/x.pac");
  config.setPacContent(std::string(4096, 'x') + "SOCKS5 s:1080");
  const std::shared_ptr<const ovProxyConfig> snapshot = config.duplicate();
  std::atomic<int> found{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      for (int n = 0; n < 50; ++n) found += snapshot->containsSocksProxy() ? 1 : 0;
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(found.load(), 200);
}

}  // namespace
}  // namespace OVProxy
