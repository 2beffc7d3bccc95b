// FakePolicyProvider: the process's policy provider while it lives, with
// values set by hand and "ready" / "updated" deliveries the test triggers
// (to subscribers of the ids; an empty subscription takes all). Thread-safe;
// observers are called without the fake's lock.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "tavbiz/tav_policy.h"

namespace ovtest {

class FakePolicyProvider final : public opref::IPolicyProvider {
 public:
  using Id = opref::oPolicyId;
  using Observer = opref::IPolicyUpdateObserver;

  FakePolicyProvider() : previous_(opref::OverridePolicyProviderForTesting(this)) {}
  ~FakePolicyProvider() override { opref::OverridePolicyProviderForTesting(previous_); }
  FakePolicyProvider(const FakePolicyProvider&) = delete;
  FakePolicyProvider& operator=(const FakePolicyProvider&) = delete;

  void Set(Id id, opref::PolicyValue value) {
    Locked([&] { return values_[id] = std::move(value), 0; });
  }
  void Remove(Id id) {
    Locked([&] { return values_.erase(id); });
  }
  void DeliverReady() {
    for (Observer* observer : Subscribers()) observer->OnPolicyReady();
  }
  void DeliverUpdate(const std::set<Id>& ids) {
    std::map<Id, opref::ConfigItem> items;
    for (Id id : ids) items.emplace(id, opref::ConfigItem(id, GetPolicyValue(id)));
    for (Observer* observer : Subscribers()) {
      const auto subscribed = SubscribedIds(observer);
      if (!subscribed) continue;
      opref::PolicyUpdateMap updated;
      for (auto& [id, item] : items) {
        if (subscribed->empty() || subscribed->contains(id)) updated[id] = &item;
      }
      if (!updated.empty()) observer->OnPolicyUpdated(updated);
    }
  }
  int subscribe_calls() const {
    return Locked([&] { return subscribe_calls_; });
  }
  int unsubscribe_calls() const {
    return Locked([&] { return unsubscribe_calls_; });
  }
  // The ids `observer` is subscribed to now; nullopt when it is not.
  std::optional<std::set<Id>> SubscribedIds(Observer* observer) const {
    return Locked([&]() -> std::optional<std::set<Id>> {
      auto it = subscribers_.find(observer);
      if (it == subscribers_.end()) return std::nullopt;
      return it->second;
    });
  }

  std::optional<opref::PolicyValue> GetPolicyValue(Id id) const override {
    return Locked([&]() -> std::optional<opref::PolicyValue> {
      auto it = values_.find(id);
      if (it == values_.end()) return std::nullopt;
      return it->second;
    });
  }
  bool SubscribePolicyUpdate(Observer* observer, const std::set<Id>& ids, uint32_t,
                             uint32_t) override {
    if (observer == nullptr) return false;
    Locked([&] {
      return ++subscribe_calls_, subscribers_[observer].insert(ids.begin(), ids.end()), 0;
    });
    return true;
  }
  void UnsubscribePolicyUpdate(Observer* observer) override {
    Locked([&] { return ++unsubscribe_calls_, subscribers_.erase(observer); });
  }

 private:
  template <typename F>
  auto Locked(F f) const -> decltype(f()) {
    std::lock_guard lock(mutex_);
    return f();
  }
  std::vector<Observer*> Subscribers() const {
    return Locked([&] {
      std::vector<Observer*> out;
      for (const auto& [observer, ids] : subscribers_) out.push_back(observer);
      return out;
    });
  }

  mutable std::mutex mutex_;
  std::map<Id, opref::PolicyValue> values_;
  std::map<Observer*, std::set<Id>> subscribers_;
  int subscribe_calls_ = 0, unsubscribe_calls_ = 0;
  std::optional<opref::IPolicyProvider*> previous_;
};

}  // namespace ovtest
