#include "platform/autoproxy/ov_auto_proxy_url_detector.h"

#include <mutex>

namespace ovplatform {
namespace {

std::mutex& OverrideMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<AutoProxyUrlDetector>& Override() {
  static std::shared_ptr<AutoProxyUrlDetector> detector;
  return detector;
}

}  // namespace

std::shared_ptr<AutoProxyUrlDetector> GetAutoProxyUrlDetector() {
  {
    std::lock_guard<std::mutex> lock(OverrideMutex());
    if (Override()) return Override();
  }
#if defined(_WIN32)
  static const std::shared_ptr<AutoProxyUrlDetector> real = CreateWinInetAutoProxyUrlDetector();
#else
  static const std::shared_ptr<AutoProxyUrlDetector> real = CreateWpadAutoProxyUrlDetector();
#endif
  return real;
}

void OverrideAutoProxyUrlDetectorForTesting(
    std::optional<std::shared_ptr<AutoProxyUrlDetector>> detector) {
  std::lock_guard<std::mutex> lock(OverrideMutex());
  Override() = detector ? *detector : nullptr;
}

}  // namespace ovplatform
