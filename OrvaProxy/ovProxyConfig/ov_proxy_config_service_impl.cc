#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_impl.h"

#include <algorithm>

#include "orvatask/orva_task.h"

namespace OVProxy {

const char* ovProxyConfigAvailabilityName(ovProxyConfigAvailability availability) {
  switch (availability) {
    case CONFIG_PENDING:
      return "PENDING";
    case CONFIG_VALID:
      return "VALID";
    case CONFIG_UNSET:
      return "UNSET";
  }
  return "UNSET";
}

ovProxyConfigServiceImpl::ovProxyConfigServiceImpl(const std::string& ownerRunnerName)
    : self_(std::make_shared<ovProxyConfigServiceImpl*>(this)) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (!ownerRunnerName.empty() && manager != nullptr) {
    owner_runner_id_ = manager->GetRunnerId(ownerRunnerName);
  }
}

ovProxyConfigServiceImpl::~ovProxyConfigServiceImpl() = default;

bool ovProxyConfigServiceImpl::checkOwnerThread() const {
  if (owner_runner_id_ == OrvaTask::kInvalidRunnerId) return true;
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager == nullptr) return true;
  const std::string current = OrvaTask::GetRunnerNameOfCurrentThread();
  return !current.empty() && manager->GetRunnerId(current) == owner_runner_id_;
}

void ovProxyConfigServiceImpl::addObserver(ovProxyConfigServiceObserver* observer) {
  if (observer == nullptr || !checkOwnerThread()) return;
  if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end()) return;
  observers_.push_back(observer);
}

void ovProxyConfigServiceImpl::removeObserver(ovProxyConfigServiceObserver* observer) {
  if (observer == nullptr || !checkOwnerThread()) return;
  if (auto it = std::find(observers_.begin(), observers_.end(), observer); it != observers_.end()) {
    observers_.erase(it);
  }
}

bool ovProxyConfigServiceImpl::hasConfigChanged(const ovProxyConfig& config,
                                                ovProxyConfigAvailability availability) const {
  return availability != availability_ || config != config_;
}

void ovProxyConfigServiceImpl::NotifyObserversOfConfigChange(
    const ovProxyConfig& config, ovProxyConfigAvailability availability) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (owner_runner_id_ == OrvaTask::kInvalidRunnerId || manager == nullptr) return;
  if (checkOwnerThread()) {
    applyConfigChange(config, availability);
    return;
  }
  std::weak_ptr<ovProxyConfigServiceImpl*> weak = self_;
  auto copy = config.duplicate();
  auto task = OrvaTask::CreateOrvaTask(
      {.name = "ProxyConfigNotify", .location = OrvaTask::SourceLocation::Current()},
      [weak, copy, availability] {
        if (auto self = weak.lock()) (*self)->applyConfigChange(*copy, availability);
      });
  manager->PostTask(owner_runner_id_, task);
}

void ovProxyConfigServiceImpl::applyConfigChange(const ovProxyConfig& config,
                                                 ovProxyConfigAvailability availability) {
  if (!checkOwnerThread()) return;
  const bool changed = hasConfigChanged(config, availability);
  const int64_t previous_timestamp = config_.getUpdateTimestamp();
  config_ = config;
  availability_ = availability;
  has_result_ = true;
  config_.setUpdateTimestamp(changed ? NextConfigUpdateStamp() : previous_timestamp);
  // Observers may add or remove observers while being told; tell the ones
  // listed now that are still listed.
  const std::vector<ovProxyConfigServiceObserver*> observers = observers_;
  for (ovProxyConfigServiceObserver* observer : observers) {
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) continue;
    observer->onProxyConfigChanged(config_, availability_);
  }
}

}  // namespace OVProxy
