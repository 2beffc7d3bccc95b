// ovProxyConfigServiceImpl: what every configuration source shares: the
// stored result, the observer list and the owner-runner rule.
//
// Thread: the stored result and the observers are touched only on the owner
// runner. NotifyObserversOfConfigChange may be called from any runner: a
// result from elsewhere travels to the owner runner as a posted
// "ProxyConfigNotify" task carrying a shared copy, which does nothing once
// the service is gone.
// Lifetime: destroy on the owner runner (results still in flight are then
// dropped).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service.h"
#include "orvatask/ovt_types.h"

namespace OVProxy {

class ovProxyConfigServiceImpl : public ovProxyConfigService {
 public:
  // An empty name, or no task manager, means no owner runner: every thread
  // counts as the owner and results from other runners are dropped.
  explicit ovProxyConfigServiceImpl(const std::string& ownerRunnerName);
  ~ovProxyConfigServiceImpl() override;
  ovProxyConfigServiceImpl(const ovProxyConfigServiceImpl&) = delete;
  ovProxyConfigServiceImpl& operator=(const ovProxyConfigServiceImpl&) = delete;

  void addObserver(ovProxyConfigServiceObserver* observer) override;
  void removeObserver(ovProxyConfigServiceObserver* observer) override;
  ovProxyConfigAvailability availability() const override { return availability_; }
  bool hasConfigChanged(const ovProxyConfig& config,
                        ovProxyConfigAvailability availability) const override;

  // Hands a new result to the owner runner (see the top comment).
  void NotifyObserversOfConfigChange(const ovProxyConfig& config,
                                     ovProxyConfigAvailability availability);

 protected:
  bool checkOwnerThread() const;
  OrvaTask::RunnerId ownerRunnerId() const { return owner_runner_id_; }
  const ovProxyConfig& storedConfig() const { return config_; }
  // Whether a result reached the owner runner and was stored.
  bool hasStoredResult() const { return has_result_; }

 private:
  // On the owner runner: store the result and tell every observer, changed
  // or not (the manager filters repeats).
  void applyConfigChange(const ovProxyConfig& config, ovProxyConfigAvailability availability);

  ovProxyConfig config_;
  ovProxyConfigAvailability availability_ = CONFIG_UNSET;
  bool has_result_ = false;
  OrvaTask::RunnerId owner_runner_id_ = OrvaTask::kInvalidRunnerId;
  std::vector<ovProxyConfigServiceObserver*> observers_;
  // Posted notifications hold a weak reference and do nothing once it expired.
  std::shared_ptr<ovProxyConfigServiceImpl*> self_;
};

}  // namespace OVProxy
