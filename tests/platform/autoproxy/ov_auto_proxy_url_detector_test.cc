#include "platform/autoproxy/ov_auto_proxy_url_detector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/wpad/ov_wpad_discovery.h"
#endif

#include "ovtest/under_wine.h"

namespace ovplatform {
namespace {

#if defined(_WIN32)
// What the stand-in for the system call answers and was asked.
struct SystemCall {
  int answer = 1;
  std::string url;        // written with its terminator when answer != 0
  bool terminate = true;  // false: fill the whole buffer, no terminator
  std::vector<uint32_t> asked;
};
SystemCall g_system;

int FakeSystemDetect(char* url, uint32_t urlLength, uint32_t detectFlags) {
  g_system.asked.push_back(detectFlags);
  if (g_system.answer == 0) return 0;
  if (!g_system.terminate) {
    std::memset(url, 'x', urlLength);
  } else if (g_system.url.size() < urlLength) {
    std::memcpy(url, g_system.url.c_str(), g_system.url.size() + 1);
  }
  return g_system.answer;
}

TEST(WinInetAutoProxyUrlDetectorTest, SystemAnswersBecomeFoundOrNotFound) {
  const std::shared_ptr<AutoProxyUrlDetector> detector =
      CreateWinInetAutoProxyUrlDetector(&FakeSystemDetect);
  const std::string kUrl = "http://wpad.corp/wpad.dat";  // 25 bytes
  constexpr uint32_t kDhcp = PROXY_AUTO_DETECT_TYPE_DHCP, kDns = PROXY_AUTO_DETECT_TYPE_DNS_A;
  const struct {
    const char* name;
    SystemCall system;
    uint32_t buffer;
    uint32_t flags;
    bool found;
    std::vector<uint32_t> asked;
  } cases[] = {
      {"fits", {1, kUrl}, 26, kDhcp, true, {kDhcp}},
      {"no room for the terminator", {1, kUrl}, 25, kDns, false, {kDns}},
      {"system failure", {0, kUrl}, 1024, kDhcp, false, {kDhcp}},
      {"success without a URL", {1, ""}, 1024, kDhcp, false, {kDhcp}},
      {"unterminated answer", {1, kUrl, false}, 1024, kDhcp, false, {kDhcp}},
      {"unknown flag bits dropped", {1, kUrl}, 1024, kDns | 0x80, true, {kDns}},
      {"no type", {1, kUrl}, 1024, 0x80, false, {}},
      {"empty buffer", {1, kUrl}, 0, kDhcp, false, {}},
  };
  for (const auto& c : cases) {
    g_system = c.system;
    char buffer[1024];
    std::memset(buffer, 0, sizeof(buffer));
    EXPECT_EQ(detector->DetectAutoProxyUrl(buffer, c.buffer, c.flags), c.found) << c.name;
    // Nothing reaches the caller's buffer unless the whole URL does.
    EXPECT_STREQ(buffer, c.found ? kUrl.c_str() : "") << c.name;
    EXPECT_EQ(g_system.asked, c.asked) << c.name;
  }
  EXPECT_FALSE(detector->DetectAutoProxyUrl(nullptr, 1024, PROXY_AUTO_DETECT_TYPE_DHCP));
}

TEST(WinInetAutoProxyUrlDetectorTest, RealSystemCallPerType) {
  const std::shared_ptr<AutoProxyUrlDetector> detector = GetAutoProxyUrlDetector();
  for (const uint32_t type : {PROXY_AUTO_DETECT_TYPE_DHCP, PROXY_AUTO_DETECT_TYPE_DNS_A}) {
    char buffer[1024] = "untouched";
    SetLastError(0);
    const bool found = detector->DetectAutoProxyUrl(buffer, sizeof(buffer), type);
    if (ovtest::UnderWine()) {
      // Wine's DetectAutoProxyUrl is not implemented (ERROR_CALL_NOT_IMPLEMENTED):
      // that is "not found", and the caller's buffer is left alone.
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << type;
      EXPECT_FALSE(found) << type;
      EXPECT_STREQ(buffer, "untouched") << type;
    } else if (found) {
      EXPECT_GT(std::strlen(buffer), 0u) << type;
    }
  }
}

#else
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

#endif

}  // namespace
}  // namespace ovplatform
