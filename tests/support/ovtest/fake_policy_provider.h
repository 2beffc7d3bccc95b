// FakePolicyProvider: the process's policy provider while it lives, with
// values set by hand and "ready" / "updated" deliveries the test triggers.
//
// It records every subscription with its arguments. DeliverUpdate calls each
// subscriber whose ids meet the given ones (all ids for an empty
// subscription), with items carrying the values as set now.
//
// Thread-safety: every operation may be called from any thread; observers
// and the query hook are called without the fake's lock.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "tavbiz/tav_policy.h"

namespace ovtest {

class FakePolicyProvider final : public opref::IPolicyProvider {
 public:
  struct SubscribeCall {
    opref::IPolicyUpdateObserver* observer = nullptr;
    std::set<opref::oPolicyId> ids;
    uint32_t reserved1 = 0;
    uint32_t reserved2 = 0;
  };

  FakePolicyProvider();
  ~FakePolicyProvider() override;
  FakePolicyProvider(const FakePolicyProvider&) = delete;
  FakePolicyProvider& operator=(const FakePolicyProvider&) = delete;

  void Set(opref::oPolicyId id, opref::PolicyValue value);
  void Remove(opref::oPolicyId id);

  void DeliverReady();
  void DeliverUpdate(const std::set<opref::oPolicyId>& ids);

  std::vector<SubscribeCall> subscribe_calls() const;
  // The ids `observer` is subscribed to now; nullopt when it is not.
  std::optional<std::set<opref::oPolicyId>> SubscribedIds(
      opref::IPolicyUpdateObserver* observer) const;
  int unsubscribe_calls() const;
  int query_count() const;
  // Runs at every GetPolicyValue before it answers.
  void SetQueryHook(std::function<void(opref::oPolicyId)> hook);

  // opref::IPolicyProvider
  std::optional<opref::PolicyValue> GetPolicyValue(opref::oPolicyId id) const override;
  bool SubscribePolicyUpdate(opref::IPolicyUpdateObserver* observer,
                             const std::set<opref::oPolicyId>& ids, uint32_t reserved1,
                             uint32_t reserved2) override;
  void UnsubscribePolicyUpdate(opref::IPolicyUpdateObserver* observer) override;

 private:
  std::vector<opref::IPolicyUpdateObserver*> Subscribers() const;

  mutable std::mutex mutex_;
  std::map<opref::oPolicyId, opref::PolicyValue> values_;
  std::map<opref::IPolicyUpdateObserver*, std::set<opref::oPolicyId>> subscribers_;
  std::vector<SubscribeCall> subscribe_calls_;
  int unsubscribe_calls_ = 0;
  mutable int query_count_ = 0;
  std::function<void(opref::oPolicyId)> query_hook_;
  std::optional<opref::IPolicyProvider*> previous_;
};

}  // namespace ovtest
