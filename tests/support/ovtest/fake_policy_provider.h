// FakePolicyProvider: the process's policy provider while it lives, with
// values set by hand and "ready" / "updated" deliveries the test triggers.
// DeliverUpdate calls each subscriber whose ids meet the given ones (all ids
// for an empty subscription) with the values as set now. Thread-safe;
// observers are called without the fake's lock.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "tavbiz/tav_policy.h"

namespace ovtest {

class FakePolicyProvider final : public opref::IPolicyProvider {
 public:
  FakePolicyProvider();
  ~FakePolicyProvider() override;
  FakePolicyProvider(const FakePolicyProvider&) = delete;
  FakePolicyProvider& operator=(const FakePolicyProvider&) = delete;
  void Set(opref::oPolicyId id, opref::PolicyValue value);
  void Remove(opref::oPolicyId id);
  void DeliverReady();
  void DeliverUpdate(const std::set<opref::oPolicyId>& ids);
  int subscribe_calls() const;
  int unsubscribe_calls() const;
  // The ids `observer` is subscribed to now; nullopt when it is not.
  std::optional<std::set<opref::oPolicyId>> SubscribedIds(
      opref::IPolicyUpdateObserver* observer) const;
  std::optional<opref::PolicyValue> GetPolicyValue(opref::oPolicyId id) const override;
  bool SubscribePolicyUpdate(opref::IPolicyUpdateObserver* observer,
                             const std::set<opref::oPolicyId>& ids, uint32_t, uint32_t) override;
  void UnsubscribePolicyUpdate(opref::IPolicyUpdateObserver* observer) override;

 private:
  std::vector<opref::IPolicyUpdateObserver*> Subscribers() const;
  mutable std::mutex mutex_;
  std::map<opref::oPolicyId, opref::PolicyValue> values_;
  std::map<opref::IPolicyUpdateObserver*, std::set<opref::oPolicyId>> subscribers_;
  int subscribe_calls_ = 0;
  int unsubscribe_calls_ = 0;
  std::optional<opref::IPolicyProvider*> previous_;
};

}  // namespace ovtest
