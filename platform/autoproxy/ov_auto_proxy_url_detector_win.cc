#include "platform/autoproxy/ov_auto_proxy_url_detector.h"

#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <vector>

namespace ovplatform {
namespace {

// Longer than any URL WinINet hands out, so that a URL too long for the
// caller is seen whole and refused instead of arriving cut short.
constexpr uint32_t kSystemBufferBytes = 4096;

int SystemDetect(char* url, uint32_t urlLength, uint32_t detectFlags) {
  return ::DetectAutoProxyUrl(url, urlLength, detectFlags);
}

class WinInetAutoProxyUrlDetector final : public AutoProxyUrlDetector {
 public:
  explicit WinInetAutoProxyUrlDetector(SystemDetectAutoProxyUrl detect) : detect_(detect) {}

  bool DetectAutoProxyUrl(char* url, uint32_t urlLength, uint32_t detectFlags) override {
    if (url == nullptr || urlLength == 0) return false;
    const uint32_t flags =
        detectFlags & (PROXY_AUTO_DETECT_TYPE_DHCP | PROXY_AUTO_DETECT_TYPE_DNS_A);
    if (flags == 0) return false;
    std::vector<char> found(kSystemBufferBytes, '\0');
    // A failure (not found, no network, not implemented) leaves the
    // caller's buffer as it was: the caller tries the next type.
    if (detect_(found.data(), kSystemBufferBytes, flags) == 0) return false;
    const void* end = std::memchr(found.data(), '\0', found.size());
    if (end == nullptr) return false;
    const size_t length = static_cast<const char*>(end) - found.data();
    if (length == 0 || length + 1 > urlLength) return false;
    std::memcpy(url, found.data(), length + 1);
    return true;
  }

 private:
  const SystemDetectAutoProxyUrl detect_;
};

}  // namespace

std::shared_ptr<AutoProxyUrlDetector> CreateWinInetAutoProxyUrlDetector(
    SystemDetectAutoProxyUrl detect) {
  return std::make_shared<WinInetAutoProxyUrlDetector>(detect ? detect : &SystemDetect);
}

}  // namespace ovplatform
