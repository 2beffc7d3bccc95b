#include "platform/autoproxy/ov_auto_proxy_url_detector.h"

#include <cstring>

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

}  // namespace

std::shared_ptr<AutoProxyUrlDetector> CreateWpadAutoProxyUrlDetector() {
  return std::make_shared<WpadAutoProxyUrlDetector>();
}

}  // namespace ovplatform
