// AdminSettingsWatcher: notices changes of the administrator's settings
// without a restart, by calling AdminSettingsStore::CheckForChanges on a
// thread of its own every `interval`.
//
// Polling reads a small file; it also sees a file that is created later,
// replaced by rename, or whose directory appears later, which a watch on the
// file itself would miss.
//
// Thread: one thread, started by the constructor. Stop (or the destructor)
// wakes it, waits for a check under way to finish, and joins it; it must not
// be called from an observer running on that thread.
// Lifetime: the store must outlive the watcher.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tavbiz/admin_settings_store.h"
#include "tavbiz/tavbiz_export.h"

namespace Tav {

class TAVBIZ_EXPORT AdminSettingsWatcher {
 public:
  static constexpr std::chrono::milliseconds kDefaultInterval{2000};

  AdminSettingsWatcher(AdminSettingsStore& store, std::chrono::milliseconds interval);
  ~AdminSettingsWatcher();
  AdminSettingsWatcher(const AdminSettingsWatcher&) = delete;
  AdminSettingsWatcher& operator=(const AdminSettingsWatcher&) = delete;

  void Stop();

 private:
  void Run();

  AdminSettingsStore& store_;
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// Where the production store reads: the path in the environment variable
// ORVAPROXY_ADMIN_SETTINGS when it is set and not empty, else
// kDefaultAdminSettingsPath.
inline constexpr const char* kDefaultAdminSettingsPath = "/etc/orvaproxy/admin-settings.json";
TAVBIZ_EXPORT std::string AdminSettingsPath();

// The production store: created, loaded and watched on first use; never
// destroyed (its watcher stops at process exit).
TAVBIZ_EXPORT AdminSettingsStore* DefaultAdminSettingsStore();

}  // namespace Tav
