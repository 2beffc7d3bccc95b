#include "OrvaProxy/ov_proxy_host_cache_mode.h"

#include <mutex>
#include <utility>

#include "OrvaProxy/o_dal_proxy_info_mode.h"

namespace OVProxy {

ovProxyHostCacheMode::ovProxyHostCacheMode(bool sync_enabled) : sync_enabled_(sync_enabled) {}

ovProxyHostCacheMode::~ovProxyHostCacheMode() = default;

void ovProxyHostCacheMode::SendLocked() {
  if (!sync_enabled_ || !dal_) return;
  dal_->setHostCacheMap(cache_);
  // From here on lookups and puts use the shared map: one copy is enough.
  cache_.clear();
}

bool ovProxyHostCacheMode::isHostCacheEnabled() {
  std::lock_guard lock(lock_);
  bool received = false;
  if (dal_ && dal_->getHostCacheEnabled(received)) return received;
  return enabled_;
}

void ovProxyHostCacheMode::setHostCacheEnabled(bool enabled) {
  std::lock_guard lock(lock_);
  enabled_ = enabled;
  if (sync_enabled_ && dal_) dal_->setHostCacheEnabled(enabled);
}

bool ovProxyHostCacheMode::lookup(const std::string& host, ovProxyInfo& info) {
  std::lock_guard lock(lock_);
  if (dal_) {
    if (auto found = dal_->lookupReceived(host, info)) return *found;
  }
  return cache_.lookup(host, info);
}

void ovProxyHostCacheMode::put(const std::string& host, const ovProxyInfo& info) {
  std::lock_guard lock(lock_);
  if (dal_) {
    dal_->putHostCacheEntry(host, info, cache_, sync_enabled_);
    return;
  }
  cache_.put(host, info);
}

void ovProxyHostCacheMode::clear() {
  std::lock_guard lock(lock_);
  cache_.clear();
  SendLocked();
}

void ovProxyHostCacheMode::replaceAll(const ovHostCacheMap& cache) {
  std::lock_guard lock(lock_);
  cache_.assign(cache);
  SendLocked();
}

void ovProxyHostCacheMode::onConfigChanged() {}

void ovProxyHostCacheMode::setDalMode(std::shared_ptr<oDALProxyInfoMode> dal) {
  std::lock_guard lock(lock_);
  dal_ = std::move(dal);
}

}  // namespace OVProxy
