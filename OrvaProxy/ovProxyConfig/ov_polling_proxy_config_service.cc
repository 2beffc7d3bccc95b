#include "OrvaProxy/ovProxyConfig/ov_polling_proxy_config_service.h"

#include "orvatask/orva_task.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {

namespace {
constexpr char kPollingRunnerPrefix[] = "ProxyPollingRunner_";
}  // namespace

ovPollingProxyConfigService::ovPollingProxyConfigService(const std::string& ownerRunnerName,
                                                         int64_t pollInterval)
    : ovProxyConfigServiceImpl(ownerRunnerName),
      poll_interval_(pollInterval),
      guard_(std::make_shared<Guard>()) {
  guard_->service = this;
}

ovPollingProxyConfigService::~ovPollingProxyConfigService() {
  shutdownPolling();
}

void ovPollingProxyConfigService::shutdownPolling() {
  {
    std::lock_guard<std::mutex> lock(guard_->mutex);
    guard_->service = nullptr;
  }
  poll_running_ = false;
  if (polling_runner_id_ != OrvaTask::kInvalidRunnerId) {
    if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
      manager->RemoveRunner(polling_runner_id_);
    }
    polling_runner_id_ = OrvaTask::kInvalidRunnerId;
  }
}

ovProxyConfigAvailability ovPollingProxyConfigService::getLatestProxyConfig(ovProxyConfig& out) {
  if (!checkOwnerThread()) return CONFIG_UNSET;
  onLazyPoll();
  if (!hasStoredResult()) return CONFIG_PENDING;
  out = storedConfig();
  return availability();
}

void ovPollingProxyConfigService::onLazyPoll() {
  const int64_t last = last_poll_time_.load();
  if (last != 0 && Tav::TimeTicks::Now() - last < poll_interval_) return;
  performPoll();
}

const ovProxyConfig* ovPollingProxyConfigService::currentConfig() const {
  return hasStoredResult() ? &storedConfig() : nullptr;
}

bool ovPollingProxyConfigService::hasConfigChanged(const ovProxyConfig& config,
                                                   ovProxyConfigAvailability availability) const {
  if (!hasStoredResult()) return true;
  return ovProxyConfigServiceImpl::hasConfigChanged(config, availability);
}

void ovPollingProxyConfigService::performPoll() {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager == nullptr) return;
  if (polling_runner_id_ == OrvaTask::kInvalidRunnerId) {
    polling_runner_id_ = manager->CreateRunner(kPollingRunnerPrefix + getServiceName(), 0);
  }
  bool expected = false;
  if (!poll_scheduled_.compare_exchange_strong(expected, true)) return;  // one at a time

  std::shared_ptr<Guard> guard = guard_;
  auto task = OrvaTask::CreateOrvaTask(
      {.name = "Proxy_Config_Poll", .location = OrvaTask::SourceLocation::Current()}, [guard] {
        std::lock_guard<std::mutex> lock(guard->mutex);
        if (guard->service != nullptr) guard->service->runPoll();
      });
  if (polling_runner_id_ == OrvaTask::kInvalidRunnerId ||
      !manager->PostTask(polling_runner_id_, task)) {
    poll_scheduled_ = false;
  }
}

void ovPollingProxyConfigService::runPoll() {
  poll_running_ = true;
  ovProxyConfig config;
  ovProxyConfigAvailability availability = CONFIG_VALID;
  const bool fetched = fetchProxyConfig(config, &availability);
  last_poll_time_ = Tav::TimeTicks::Now();
  if (!fetched) {
    config = ovProxyConfig();
    config.set_from_system(false);
    availability = CONFIG_VALID;
  }
  NotifyObserversOfConfigChange(config, availability);
  poll_running_ = false;
  poll_scheduled_ = false;
}

}  // namespace OVProxy
