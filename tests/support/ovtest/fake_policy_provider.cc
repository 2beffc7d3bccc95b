#include "ovtest/fake_policy_provider.h"

#include <utility>

namespace ovtest {

FakePolicyProvider::FakePolicyProvider()
    : previous_(opref::OverridePolicyProviderForTesting(this)) {}

FakePolicyProvider::~FakePolicyProvider() {
  opref::OverridePolicyProviderForTesting(previous_);
}

void FakePolicyProvider::Set(opref::oPolicyId id, opref::PolicyValue value) {
  std::lock_guard lock(mutex_);
  values_[id] = std::move(value);
}

void FakePolicyProvider::Remove(opref::oPolicyId id) {
  std::lock_guard lock(mutex_);
  values_.erase(id);
}

std::vector<opref::IPolicyUpdateObserver*> FakePolicyProvider::Subscribers() const {
  std::lock_guard lock(mutex_);
  std::vector<opref::IPolicyUpdateObserver*> out;
  for (const auto& [observer, ids] : subscribers_) out.push_back(observer);
  return out;
}

void FakePolicyProvider::DeliverReady() {
  for (opref::IPolicyUpdateObserver* observer : Subscribers()) observer->OnPolicyReady();
}

void FakePolicyProvider::DeliverUpdate(const std::set<opref::oPolicyId>& ids) {
  std::map<opref::oPolicyId, opref::ConfigItem> items;
  for (opref::oPolicyId id : ids) items.emplace(id, opref::ConfigItem(id, GetPolicyValue(id)));
  for (opref::IPolicyUpdateObserver* observer : Subscribers()) {
    const auto subscribed = SubscribedIds(observer);
    if (!subscribed) continue;
    opref::PolicyUpdateMap updated;
    for (auto& [id, item] : items) {
      if (subscribed->empty() || subscribed->contains(id)) updated[id] = &item;
    }
    if (!updated.empty()) observer->OnPolicyUpdated(updated);
  }
}

int FakePolicyProvider::subscribe_calls() const {
  std::lock_guard lock(mutex_);
  return subscribe_calls_;
}

int FakePolicyProvider::unsubscribe_calls() const {
  std::lock_guard lock(mutex_);
  return unsubscribe_calls_;
}

std::optional<std::set<opref::oPolicyId>> FakePolicyProvider::SubscribedIds(
    opref::IPolicyUpdateObserver* observer) const {
  std::lock_guard lock(mutex_);
  auto it = subscribers_.find(observer);
  if (it == subscribers_.end()) return std::nullopt;
  return it->second;
}

std::optional<opref::PolicyValue> FakePolicyProvider::GetPolicyValue(opref::oPolicyId id) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(id);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool FakePolicyProvider::SubscribePolicyUpdate(opref::IPolicyUpdateObserver* observer,
                                               const std::set<opref::oPolicyId>& ids, uint32_t,
                                               uint32_t) {
  if (observer == nullptr) return false;
  std::lock_guard lock(mutex_);
  ++subscribe_calls_;
  subscribers_[observer].insert(ids.begin(), ids.end());
  return true;
}

void FakePolicyProvider::UnsubscribePolicyUpdate(opref::IPolicyUpdateObserver* observer) {
  std::lock_guard lock(mutex_);
  ++unsubscribe_calls_;
  subscribers_.erase(observer);
}

}  // namespace ovtest
