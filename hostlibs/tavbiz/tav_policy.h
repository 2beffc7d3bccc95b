// The business library's policy framework: enterprise policies by numeric
// id, held in memory by a policy provider, read with the Query...FromMemory
// functions, and observed through IPolicyUpdateObserver.
//
// The provider answers GetPolicyProvider(); in production it is the store of
// the administrator's settings file (tavbiz/admin_settings_store.h), created
// and loaded on first use. Tests replace it with
// OverridePolicyProviderForTesting.
//
// Thread-safety: every function here may be called from any thread. A
// provider calls its observers on the thread that loaded the change (the
// store's watcher thread in production), never while holding a lock of its
// own, so an observer may query the provider from its callback.
// Lifetime: an observer must stay alive until it has unsubscribed and any
// callback already under way on another thread has returned.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>

#include "tavbiz/tavbiz_export.h"

namespace opref {

// 0 means "no policy".
using oPolicyId = uint32_t;

// A policy value as the store holds it.
using PolicyValue = std::variant<bool, int32_t, std::wstring>;

// One entry of an update: the policy and its new value.
class IConfigItem {
 public:
  virtual ~IConfigItem() = default;
  virtual oPolicyId GetPolicyId() const = 0;
  // The new value; null when the policy was removed.
  virtual const PolicyValue* GetValue() const = 0;
};

// A changed policy as a provider reports it: the id and its new value, or no
// value when the policy was removed.
class TAVBIZ_EXPORT ConfigItem final : public IConfigItem {
 public:
  ConfigItem(oPolicyId id, std::optional<PolicyValue> value) : id_(id), value_(std::move(value)) {}
  oPolicyId GetPolicyId() const override { return id_; }
  const PolicyValue* GetValue() const override { return value_ ? &*value_ : nullptr; }

 private:
  oPolicyId id_;
  std::optional<PolicyValue> value_;
};

// The policies that changed, by id. The items are valid during the callback
// only.
using PolicyUpdateMap = std::map<oPolicyId, IConfigItem*>;

class IPolicyUpdateObserver {
 public:
  virtual ~IPolicyUpdateObserver() = default;

  // The provider's source could not be read (missing or malformed); its
  // values are now empty. When subscribed ids lost their values, an
  // OnPolicyUpdated naming them follows.
  virtual void OnPolicyLoadFailed() {}
  // The provider has its values. Delivered once per subscription: when the
  // provider finishes its first load, or at subscription when it already has.
  virtual void OnPolicyReady() = 0;
  // The provider re-read its source and its contents changed (whether or not
  // any id this observer subscribed to did).
  virtual void OnPolicyReloaded() {}
  // Policies this observer subscribed to changed value, appeared or were
  // removed. Never called with an empty map.
  virtual void OnPolicyUpdated(const PolicyUpdateMap& updated) = 0;
};

class IPolicyProvider {
 public:
  virtual ~IPolicyProvider() = default;

  // The value of `id` in memory; nullopt when the policy is not set.
  virtual std::optional<PolicyValue> GetPolicyValue(oPolicyId id) const = 0;
  // Subscribes `observer` to updates of `ids` (all ids when the set is
  // empty). Subscribing an observer again adds the ids to those it has.
  // The two reserved arguments must be 0. False for a null observer.
  virtual bool SubscribePolicyUpdate(IPolicyUpdateObserver* observer,
                                     const std::set<oPolicyId>& ids, uint32_t reserved1,
                                     uint32_t reserved2) = 0;
  // Ends every subscription of `observer`. A callback another thread is
  // already delivering to it may still arrive; none starts after that. (It
  // does not wait for such a callback: an observer that holds its own lock
  // while unsubscribing would deadlock with it.)
  virtual void UnsubscribePolicyUpdate(IPolicyUpdateObserver* observer) = 0;
};

// The process's policy provider, or null when there is none.
TAVBIZ_EXPORT IPolicyProvider* GetPolicyProvider();

// Replaces what GetPolicyProvider answers (nullptr included: no provider);
// nullopt restores the default. Returns the override it replaced.
TAVBIZ_EXPORT std::optional<IPolicyProvider*> OverridePolicyProviderForTesting(
    std::optional<IPolicyProvider*> provider);

}  // namespace opref

namespace Tav {

// Read one policy from the provider's memory. Each returns non-zero and
// sets `value` when the policy is set and has a fitting type, 0 otherwise
// (`value` then unchanged). The three trailing arguments are reserved and
// must be null.
//
// Boolean: a boolean policy gives 1 or 0; an integer policy gives its value
// (so 1 means "on"). Int32: an integer policy, or a boolean as 1 or 0.
// String: a string policy only.
TAVBIZ_EXPORT int32_t QueryBooleanPolicyValueFromMemory(opref::oPolicyId id, int32_t& value,
                                                        const void* reserved1 = nullptr,
                                                        const void* reserved2 = nullptr,
                                                        const void* reserved3 = nullptr);
TAVBIZ_EXPORT int32_t QueryInt32PolicyValueFromMemory(opref::oPolicyId id, int32_t& value,
                                                      const void* reserved1 = nullptr,
                                                      const void* reserved2 = nullptr,
                                                      const void* reserved3 = nullptr);
TAVBIZ_EXPORT int32_t QueryStringPolicyValueFromMemory(opref::oPolicyId id, std::wstring& value,
                                                       const void* reserved1 = nullptr,
                                                       const void* reserved2 = nullptr,
                                                       const void* reserved3 = nullptr);

}  // namespace Tav
