#include "tavbiz/tav_policy.h"

#include "tavbiz/admin_settings_watcher.h"
#include "tavbiz/override_slot.h"
#include "tavlib/tav_no_destructor.h"

namespace opref {
namespace {

Tav::internal::OverrideSlot<IPolicyProvider>& Slot() {
  static Tav::NoDestructor<Tav::internal::OverrideSlot<IPolicyProvider>> slot;
  return *slot;
}

std::optional<PolicyValue> Lookup(oPolicyId id) {
  IPolicyProvider* provider = GetPolicyProvider();
  if (provider == nullptr) return std::nullopt;
  return provider->GetPolicyValue(id);
}

}  // namespace

IPolicyProvider* GetPolicyProvider() {
  if (auto overridden = Slot().Get()) return *overridden;
  return Tav::DefaultAdminSettingsStore();
}

std::optional<IPolicyProvider*> OverridePolicyProviderForTesting(
    std::optional<IPolicyProvider*> provider) {
  return Slot().Set(provider);
}

}  // namespace opref

namespace Tav {

int32_t QueryBooleanPolicyValueFromMemory(opref::oPolicyId id, int32_t& value, const void*,
                                          const void*, const void*) {
  const auto found = opref::Lookup(id);
  if (!found) return 0;
  if (const bool* b = std::get_if<bool>(&*found)) {
    value = *b ? 1 : 0;
    return 1;
  }
  if (const int32_t* i = std::get_if<int32_t>(&*found)) {
    value = *i;
    return 1;
  }
  return 0;
}

int32_t QueryInt32PolicyValueFromMemory(opref::oPolicyId id, int32_t& value, const void*,
                                        const void*, const void*) {
  // Same acceptance as the boolean query: integers, and booleans as 1 or 0.
  return QueryBooleanPolicyValueFromMemory(id, value);
}

int32_t QueryStringPolicyValueFromMemory(opref::oPolicyId id, std::wstring& value, const void*,
                                         const void*, const void*) {
  const auto found = opref::Lookup(id);
  if (!found) return 0;
  if (const std::wstring* s = std::get_if<std::wstring>(&*found)) {
    value = *s;
    return 1;
  }
  return 0;
}

}  // namespace Tav
