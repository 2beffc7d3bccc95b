#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"

#include <gtest/gtest.h>

#include "ovtest/manual_clock.h"

namespace OVProxy {
namespace {

TEST(ProxyConfig, DefaultIsDirectFromSystemStampedNow) {
  ovtest::ManualClock clock;
  ovProxyConfig config;
  EXPECT_EQ(config.toString(), "ProxyConfig{type=DIRECT, source=System}");
  EXPECT_FALSE(config.HasAutomaticSettings());
  EXPECT_TRUE(config.isValid());
  EXPECT_EQ(config.getUpdateTimestamp(), clock.SystemNow100ns());
  EXPECT_EQ(config.proxy_rules().type, ovProxyConfig::RulesType::None);
}

TEST(ProxyConfig, ToStringFollowsPrecedence) {
  ovProxyConfig auto_with_url = ovProxyConfig::CreateAutoDetect();
  auto_with_url.setPacUrl("http://wpad/wpad.dat");
  EXPECT_EQ(
      auto_with_url.toString(),
      "ProxyConfig{type=AUTO_DETECT, enabled=1, pac_url=http://wpad/wpad.dat, source=System}");
  EXPECT_EQ(ovProxyConfig::CreateAutoDetect().toString(),
            "ProxyConfig{type=AUTO_DETECT, enabled=1, source=System}");

  ovProxyConfig pac = ovProxyConfig::CreateFromCustomPacURL("http://cfg/p.pac?x=1");
  pac.set_source(ConfigSource::Firefox);
  EXPECT_EQ(pac.toString(),
            "ProxyConfig{type=PAC_SCRIPT, url=http://cfg/p.pac?x=1, source=Firefox}");

  ovProxyConfig manual;
  manual.proxy_rules().ParseFromString("http=a:80;https=b:443;ftp=c:21;socks=s:1080");
  EXPECT_EQ(manual.toString(),
            "ProxyConfig{type=MANUAL, http=PROXY a:80, https=HTTPS b:443, source=System}");

  ovProxyConfig single;
  single.proxy_rules().ParseFromString("p:3128");
  EXPECT_EQ(single.toString(),
            "ProxyConfig{type=MANUAL, single_proxies=PROXY p:3128, source=System}");

  ovProxyConfig socks_only;
  socks_only.proxy_rules().ParseFromString("socks=s:1080");
  EXPECT_EQ(socks_only.toString(), "ProxyConfig{type=MANUAL, source=System}");
}

TEST(ProxyConfig, EqualityIgnoresDownloadedStateAndTime) {
  ovProxyConfig a = ovProxyConfig::CreateFromCustomPacURL("http://p/x.pac");
  ovProxyConfig b = a;
  b.setPacContent("function FindProxyForURL(u,h){return 'DIRECT';}");
  b.setUpdateTimestamp(42);
  b.setAutoDetectPacUrl("http://wpad/wpad.dat");
  b.setPacFileType(ovPacFileType::Ins);
  EXPECT_EQ(a, b);

  // Each compared member makes a difference.
  ovProxyConfig c = a;
  c.set_from_system(true);
  EXPECT_NE(a, c);
  c = a;
  c.set_source(ConfigSource::Firefox);
  EXPECT_NE(a, c);
  c = a;
  c.setAutoDetectEnabled(true);
  EXPECT_NE(a, c);
  c = a;
  c.proxy_rules().invert_bypass = true;
  EXPECT_NE(a, c);
  c = a;
  c.proxy_rules().bypass_rules.AddRuleFromString("corp");
  EXPECT_NE(a, c);
  c = a;
  c.proxy_rules().ParseFromString("ftp=f:21");
  EXPECT_NE(a, c);
}

TEST(ProxyConfig, SocksDetectionIsCachedUntilContentChanges) {
  ovProxyConfig config;
  EXPECT_FALSE(config.containsSocksProxy());  // empty script: cached false
  config.setPacContent("function FindProxyForURL(u,h){return 'SoCkS5 s:1080';}");
  EXPECT_TRUE(config.containsSocksProxy());
  config.reset();
  EXPECT_TRUE(config.isPacContentEmpty());
  EXPECT_TRUE(config.containsSocksProxy());  // reset keeps the cache
  config.resetSocksDetectionCache();
  EXPECT_FALSE(config.containsSocksProxy());
}

TEST(ProxyConfig, ResetKeepsWhatItShould) {
  ovProxyConfig config = ovProxyConfig::CreateAutoDetect();
  config.setPacUrl("http://p");
  config.setAutoDetectPacUrl("http://wpad");
  config.set_from_system(true);
  config.set_source(ConfigSource::Firefox);
  config.setPacFileType(ovPacFileType::Pac);
  config.setUpdateTimestamp(7);
  config.proxy_rules().ParseFromString("a:1");
  config.reset();
  EXPECT_FALSE(config.auto_detect());
  EXPECT_FALSE(config.has_pac_url());
  EXPECT_EQ(config.source(), ConfigSource::System);
  EXPECT_EQ(config.getPacFileType(), ovPacFileType::Unknown);
  EXPECT_EQ(config.proxy_rules().type, ovProxyConfig::RulesType::None);
  EXPECT_EQ(config.getAutoDetectPacUrl(), "http://wpad");
  EXPECT_TRUE(config.from_system());
  EXPECT_EQ(config.getUpdateTimestamp(), 7);
}

TEST(ProxyConfig, CopyMoveAndDuplicateCarryEverything) {
  ovProxyConfig config = ovProxyConfig::CreateFromCustomPacURL("http://p");
  config.setPacContent("socks");
  config.setAutoDetectPacUrl("http://wpad");
  config.setUpdateTimestamp(99);
  EXPECT_TRUE(config.containsSocksProxy());

  std::shared_ptr<ovProxyConfig> dup = config.duplicate();
  EXPECT_EQ(*dup, config);
  EXPECT_EQ(dup->getPacContent(), "socks");
  EXPECT_EQ(dup->getUpdateTimestamp(), 99);
  dup->setPacUrl("http://changed");
  EXPECT_EQ(config.getPacUrl(), "http://p");

  ovProxyConfig moved(std::move(config));
  EXPECT_EQ(moved.getPacUrl(), "http://p");
  EXPECT_EQ(moved.getAutoDetectPacUrl(), "http://wpad");
  EXPECT_TRUE(moved.containsSocksProxy());
  // NOLINTBEGIN(bugprone-use-after-move): a moved-from record is documented empty.
  EXPECT_TRUE(config.getPacUrl().empty());
  EXPECT_TRUE(config.getPacContent().empty());
  EXPECT_TRUE(config.getAutoDetectPacUrl().empty());
  // NOLINTEND(bugprone-use-after-move)

  ovProxyConfig assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.getPacContent(), "socks");
}

}  // namespace
}  // namespace OVProxy
