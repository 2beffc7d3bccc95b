// ovPollingProxyConfigService: a configuration source that reads its source
// on a runner of its own ("ProxyPollingRunner_" + getServiceName()) and at
// most once per poll_interval when asked lazily.
//
// States of a read: idle -> scheduled (a "Proxy_Config_Poll" task is queued
// on the polling runner; further requests are ignored) -> running (the
// fetch) -> idle, with the result handed to the owner runner. last_poll_time
// (monotonic microseconds, 0 = never) is written when a fetch completes and
// paces lazy polls. The service counts as having a configuration once a
// result was stored on the owner runner, so no caller ever sees the empty
// stored record of the short time a result is on its way there.
//
// Thread: the getters and poll requests on the owner runner; the fetch on
// the polling runner.
// Lifetime: a concrete source calls shutdownPolling() first in its
// destructor. It waits for a fetch in progress, keeps queued polls from
// fetching, and removes the polling runner, so no fetch ever runs on a
// half-destroyed object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_impl.h"

namespace OVProxy {

class ovPollingProxyConfigService : public ovProxyConfigServiceImpl {
 public:
  // Ten seconds in the monotonic clock's microsecond ticks.
  static constexpr int64_t kDefaultPollInterval = 10000000;

  ovPollingProxyConfigService(const std::string& ownerRunnerName, int64_t pollInterval);
  ~ovPollingProxyConfigService() override;

  ovProxyConfigAvailability getLatestProxyConfig(ovProxyConfig& out) override;
  void onLazyPoll() override;
  void pollNow() override { performPoll(); }
  const ovProxyConfig* currentConfig() const override;
  bool hasConfig() const override { return hasStoredResult(); }
  bool hasConfigChanged(const ovProxyConfig& config,
                        ovProxyConfigAvailability availability) const override;
  void performPoll() override;

  int64_t pollInterval() const { return poll_interval_; }
  bool isPollScheduled() const { return poll_scheduled_.load(); }

 protected:
  void shutdownPolling();

 private:
  // Shared with queued polls; `service` is null once polling was shut down.
  struct Guard {
    std::mutex mutex;
    ovPollingProxyConfigService* service = nullptr;
  };

  // The poll step, on the polling runner, under the guard.
  void runPoll();

  const int64_t poll_interval_;
  std::atomic<int64_t> last_poll_time_{0};
  std::atomic<bool> poll_running_{false};
  std::atomic<bool> poll_scheduled_{false};
  OrvaTask::RunnerId polling_runner_id_ = OrvaTask::kInvalidRunnerId;
  std::shared_ptr<Guard> guard_;
};

}  // namespace OVProxy
