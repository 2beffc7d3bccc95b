// AdminSettingsWatcher: notices changes of the administrator's settings
// without a restart, by calling AdminSettingsStore::CheckForChanges every
// `interval`.
//
// Polling reads a small file; it also sees a file that is created later,
// replaced by rename, or whose directory appears later, which a watch on the
// file itself would miss.
//
// Thread: the checks run as delayed tasks on the task library's runner
// "AdminSettingsWatcher" (created when missing, removed by Stop if this
// watcher created it), timed by the common library's clock, so a test moves
// a manual clock instead of waiting. Without a task manager nothing is
// watched (a warning says so). Stop (or the destructor) drops the next check
// and waits for one under way to finish, except when called from that check
// itself (an observer), which simply ends the watching.
// Lifetime: the store must outlive the watcher; a check still queued holds
// only the watcher's shared state.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "tavbiz/admin_settings_store.h"
#include "tavbiz/tavbiz_export.h"

namespace Tav {

class TAVBIZ_EXPORT AdminSettingsWatcher {
 public:
  static constexpr std::chrono::milliseconds kDefaultInterval{2000};
  static constexpr const char* kRunnerName = "AdminSettingsWatcher";

  // The first check runs one interval from now.
  AdminSettingsWatcher(AdminSettingsStore& store, std::chrono::milliseconds interval);
  ~AdminSettingsWatcher();
  AdminSettingsWatcher(const AdminSettingsWatcher&) = delete;
  AdminSettingsWatcher& operator=(const AdminSettingsWatcher&) = delete;

  void Stop();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Where the production store reads: the path in the environment variable
// ORVAPROXY_ADMIN_SETTINGS when it is set and not empty, else
// kAdminSettingsFolder/kAdminSettingsFile in the machine's settings folder
// (ovplatform::Os::MachineSettingsDirectory): /etc/orvaproxy/admin-settings.json
// on Linux, %ProgramData%\orvaproxy\admin-settings.json on Windows; "" when
// the machine has no such folder. Both are read through the operating-system
// layer, and so from the real system: this library keeps its own copy of
// that layer, which a test's fake Os does not replace.
inline constexpr const char* kAdminSettingsFolder = "orvaproxy";
inline constexpr const char* kAdminSettingsFile = "admin-settings.json";
TAVBIZ_EXPORT std::string AdminSettingsPath();

// The production store: created, loaded and watched on first use; never
// destroyed (its watcher stops at process exit).
TAVBIZ_EXPORT AdminSettingsStore* DefaultAdminSettingsStore();

}  // namespace Tav
