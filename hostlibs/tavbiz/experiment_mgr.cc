#include "tavbiz/experiment_mgr.h"

#include "tavbiz/admin_settings_watcher.h"
#include "tavbiz/override_slot.h"
#include "tavlib/tav_no_destructor.h"

namespace ExperimentFramework {
namespace {

Tav::internal::OverrideSlot<IExperimentMgr>& Slot() {
  static Tav::NoDestructor<Tav::internal::OverrideSlot<IExperimentMgr>> slot;
  return *slot;
}

}  // namespace

IExperimentMgr* GetExperimentMgr() {
  if (auto overridden = Slot().Get()) return *overridden;
  return Tav::DefaultAdminSettingsStore();
}

std::optional<IExperimentMgr*> OverrideExperimentMgrForTesting(
    std::optional<IExperimentMgr*> manager) {
  return Slot().Set(manager);
}

}  // namespace ExperimentFramework
