// The business library's feature toggles: named texts, optionally grouped,
// read with Tav::QueryFeatureToggle.
//
// The toggles come from GetFeatureToggleProvider(); in production that is
// the store of the administrator's settings file
// (tavbiz/admin_settings_store.h). Tests replace it with
// OverrideFeatureToggleProviderForTesting.
//
// Texts are in the system code page (UTF-8 on this platform).
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tavbiz/tavbiz_export.h"

namespace Tav {

class IFeatureToggleProvider {
 public:
  virtual ~IFeatureToggleProvider() = default;
  // The text of toggle `name` in `group` ("" is the default group); nullopt
  // when the toggle is not set.
  virtual std::optional<std::string> GetFeatureToggle(std::string_view name,
                                                      std::string_view group) const = 0;
};

// The process's toggle provider, or null when there is none.
TAVBIZ_EXPORT IFeatureToggleProvider* GetFeatureToggleProvider();

// Replaces what GetFeatureToggleProvider answers (nullptr included); nullopt
// restores the default. Returns the override it replaced.
TAVBIZ_EXPORT std::optional<IFeatureToggleProvider*> OverrideFeatureToggleProviderForTesting(
    std::optional<IFeatureToggleProvider*> provider);

// The toggle `name` of `group`: returns 1 and sets `value` to the toggle's
// text when it is set; returns 0 and sets `value` to `defaultValue` when it
// is not (or there is no provider).
TAVBIZ_EXPORT int32_t QueryFeatureToggle(std::string_view name, std::string_view group,
                                         std::string_view defaultValue, std::string& value);

}  // namespace Tav
