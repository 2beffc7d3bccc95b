#include "platform/autoproxy/ov_auto_proxy_url_detector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/wpad/ov_wpad_discovery.h"

namespace ovplatform {
namespace {

class FakeWpad final : public WpadDiscovery {
 public:
  WpadResult Detect(uint32_t flags) override {
    asked.push_back(flags);
    if (flags == kWpadDetectDhcp) return {dhcp, WpadSource::kDhcp};
    if (flags == kWpadDetectDns) return {dns, WpadSource::kDns};
    return {};
  }
  std::string dhcp;
  std::string dns;
  std::vector<uint32_t> asked;
};

TEST(AutoProxyUrlDetectorTest, AsksWpadForOneTypeAndNeverTruncates) {
  auto wpad = std::make_shared<FakeWpad>();
  wpad->dhcp = "http://dhcp.corp/wpad.dat";  // 25 bytes
  OverrideWpadDiscoveryForTesting(wpad);
  const std::shared_ptr<AutoProxyUrlDetector> detector = CreateWpadAutoProxyUrlDetector();
  const struct {
    uint32_t type;
    uint32_t buffer;
    bool found;
    const char* url;
    std::vector<uint32_t> asked;
  } cases[] = {
      {PROXY_AUTO_DETECT_TYPE_DHCP, 26, true, "http://dhcp.corp/wpad.dat", {kWpadDetectDhcp}},
      {PROXY_AUTO_DETECT_TYPE_DHCP, 25, false, "", {kWpadDetectDhcp}},  // no room for the NUL
      {PROXY_AUTO_DETECT_TYPE_DNS_A, 1024, false, "", {kWpadDetectDns}},
      {PROXY_AUTO_DETECT_TYPE_DHCP, 0, false, "", {}},
  };
  for (const auto& c : cases) {
    wpad->asked.clear();
    char buffer[1024];
    std::memset(buffer, 0, sizeof(buffer));
    EXPECT_EQ(detector->DetectAutoProxyUrl(buffer, c.buffer, c.type), c.found) << c.buffer;
    EXPECT_STREQ(buffer, c.url) << c.buffer;
    EXPECT_EQ(wpad->asked, c.asked) << c.buffer;
  }
  OverrideWpadDiscoveryForTesting(std::nullopt);
}

}  // namespace
}  // namespace ovplatform
