#include "tavbiz/tav_feature_toggle.h"

#include "tavbiz/admin_settings_watcher.h"
#include "tavbiz/override_slot.h"
#include "tavlib/tav_no_destructor.h"

namespace Tav {
namespace {

internal::OverrideSlot<IFeatureToggleProvider>& Slot() {
  static NoDestructor<internal::OverrideSlot<IFeatureToggleProvider>> slot;
  return *slot;
}

}  // namespace

IFeatureToggleProvider* GetFeatureToggleProvider() {
  if (auto overridden = Slot().Get()) return *overridden;
  return DefaultAdminSettingsStore();
}

std::optional<IFeatureToggleProvider*> OverrideFeatureToggleProviderForTesting(
    std::optional<IFeatureToggleProvider*> provider) {
  return Slot().Set(provider);
}

int32_t QueryFeatureToggle(std::string_view name, std::string_view group,
                           std::string_view defaultValue, std::string& value) {
  if (IFeatureToggleProvider* provider = GetFeatureToggleProvider()) {
    if (auto text = provider->GetFeatureToggle(name, group)) {
      value = std::move(*text);
      return 1;
    }
  }
  value.assign(defaultValue);
  return 0;
}

}  // namespace Tav
