// The administrator's settings document: parsing never crashes, a rejected
// document yields no values, accepted policy ids are never 0, and a store
// loading the text answers every query it was given without failing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tavbiz/admin_settings.h"
#include "tavbiz/admin_settings_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Tav::AdminSettingsParseResult result = Tav::ParseAdminSettings(text);
  if (!result.valid && (!result.settings.empty() || result.problems.empty())) std::abort();
  for (const auto& [id, value] : result.settings.policies) {
    if (id == 0) std::abort();
  }

  Tav::AdminSettingsStore store(
      "fuzz",
      [&text] {
        return Tav::AdminSettingsSource{Tav::AdminSettingsSource::Status::kOk, text, {}};
      },
      nullptr);
  store.CheckForChanges();
  if (!(store.Snapshot() == result.settings)) std::abort();
  for (const auto& [id, value] : result.settings.policies) {
    if (!store.GetPolicyValue(id)) std::abort();
  }
  for (const auto& [group, names] : result.settings.toggles) {
    for (const auto& [name, toggle] : names) {
      if (store.GetFeatureToggle(name, group) != toggle) std::abort();
    }
  }
  return 0;
}
