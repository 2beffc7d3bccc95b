// The business library's experiment framework: named tests that are either
// enabled for this client or not.
//
// GetExperimentMgr answers the process's manager; in production that is the
// store of the administrator's settings file (tavbiz/admin_settings_store.h).
// Tests replace it with OverrideExperimentMgrForTesting.
//
// Thread-safety: every function and every operation of the manager may be
// called from any thread. Lifetime: the production manager lives until the
// process exits; a test manager must outlive its installation.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavbiz/tavbiz_export.h"

namespace ExperimentFramework {

class IExperimentMgr {
 public:
  virtual ~IExperimentMgr() = default;
  // Names of the enabled tests, in byte order.
  virtual std::vector<std::string> GetEnabledTests() const = 0;
  // Whether the test `name` is enabled; unknown tests are not.
  virtual bool IsTestEnabled(std::string_view name) const = 0;
};

// The process's experiment manager, or null when there is none.
TAVBIZ_EXPORT IExperimentMgr* GetExperimentMgr();

// Replaces what GetExperimentMgr answers (nullptr included); nullopt
// restores the default. Returns the override it replaced.
TAVBIZ_EXPORT std::optional<IExperimentMgr*> OverrideExperimentMgrForTesting(
    std::optional<IExperimentMgr*> manager);

}  // namespace ExperimentFramework
