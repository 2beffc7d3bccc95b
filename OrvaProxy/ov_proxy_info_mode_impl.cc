#include <utility>

#include "OrvaProxy/ov_proxy_info_mode_impl.h"

#include <mutex>

namespace OVProxy {

ovProxyInfoModeImpl* ovProxyInfoModeImpl::GetInstance() {
  static ovProxyInfoModeImpl instance;
  return &instance;
}

ovProxyInfoModeImpl::ovProxyInfoModeImpl()
    : host_cache_(std::make_shared<ovProxyHostCacheMode>(sync_enabled_)),
      config_(std::make_shared<ovProxyConfigMode>(sync_enabled_)),
      dal_(std::make_shared<oDALProxyInfoMode>(true)) {
  host_cache_->setDalMode(dal_);
  config_->setDalMode(dal_);
  dal_->setFields(host_cache_, config_);
}

ovProxyInfoModeImpl::~ovProxyInfoModeImpl() = default;

int32_t ovProxyInfoModeImpl::addFieldListener(const std::string& key,
                                              ns_dal::FieldListener listener) {
  std::lock_guard lock(lock_);
  return dal_ ? dal_->addFieldListener(key, std::move(listener)) : 0;
}

int32_t ovProxyInfoModeImpl::removeFieldListener(const std::string& key, int32_t listener_id) {
  std::lock_guard lock(lock_);
  return dal_ ? dal_->removeFieldListener(key, listener_id) : 0;
}

bool ovProxyInfoModeImpl::isSyncEnabled() const {
  return sync_enabled_;
}

std::shared_ptr<ovProxyHostCacheMode> ovProxyInfoModeImpl::getHostCacheMode() {
  return host_cache_;
}

std::shared_ptr<ovProxyConfigMode> ovProxyInfoModeImpl::getConfigMode() {
  return config_;
}

std::shared_ptr<oDALProxyInfoMode> ovProxyInfoModeImpl::getDalMode() {
  return dal_;
}

}  // namespace OVProxy
