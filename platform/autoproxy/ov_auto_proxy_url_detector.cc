#include "platform/autoproxy/ov_auto_proxy_url_detector.h"

#include <cstring>
#include <mutex>

#include "platform/wpad/ov_wpad_discovery.h"

namespace ovplatform {
namespace {

class WpadAutoProxyUrlDetector final : public AutoProxyUrlDetector {
 public:
  bool DetectAutoProxyUrl(char* url, uint32_t urlLength, uint32_t detectFlags) override {
    if (url == nullptr || urlLength == 0) return false;
    uint32_t flags = 0;
    if (detectFlags & PROXY_AUTO_DETECT_TYPE_DHCP) flags |= kWpadDetectDhcp;
    if (detectFlags & PROXY_AUTO_DETECT_TYPE_DNS_A) flags |= kWpadDetectDns;
    if (flags == 0) return false;
    const std::shared_ptr<WpadDiscovery> discovery = GetWpadDiscovery();
    if (!discovery) return false;
    const WpadResult result = discovery->Detect(flags);
    if (!result.found() || result.url.size() + 1 > urlLength) return false;
    std::memcpy(url, result.url.data(), result.url.size());
    url[result.url.size()] = '\0';
    return true;
  }
};

std::mutex& OverrideMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<AutoProxyUrlDetector>& Override() {
  static std::shared_ptr<AutoProxyUrlDetector> detector;
  return detector;
}

}  // namespace

std::shared_ptr<AutoProxyUrlDetector> CreateWpadAutoProxyUrlDetector() {
  return std::make_shared<WpadAutoProxyUrlDetector>();
}

std::shared_ptr<AutoProxyUrlDetector> GetAutoProxyUrlDetector() {
  {
    std::lock_guard<std::mutex> lock(OverrideMutex());
    if (Override()) return Override();
  }
  static const std::shared_ptr<AutoProxyUrlDetector> real = CreateWpadAutoProxyUrlDetector();
  return real;
}

void OverrideAutoProxyUrlDetectorForTesting(
    std::optional<std::shared_ptr<AutoProxyUrlDetector>> detector) {
  std::lock_guard<std::mutex> lock(OverrideMutex());
  Override() = detector ? *detector : nullptr;
}

}  // namespace ovplatform
