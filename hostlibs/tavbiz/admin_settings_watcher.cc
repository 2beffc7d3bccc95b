#include "tavbiz/admin_settings_watcher.h"

#include <cstdlib>

#include "klbutil/memory_log.h"
#include "tavlib/tav_no_destructor.h"

namespace Tav {
namespace {

// Lines of the business library layer carry module number 0 and this label.
constexpr int32_t kBusinessLogModule = 0;
constexpr const char* kAdminSettingsLabel = "ADMIN_STORE";

void LogToMemoryLog(int32_t level, const std::string& message) {
  klb::MemoryLog::Instance().Write(kBusinessLogModule, static_cast<klb::LogLevel>(level),
                                   kAdminSettingsLabel, message);
}

// The production store is never destroyed, so a late unsubscribe from
// another static's destructor finds it alive.
AdminSettingsStore& DefaultStoreInstance() {
  static NoDestructor<AdminSettingsStore> store(
      AdminSettingsPath(), AdminSettingsStore::FileReader(AdminSettingsPath()), &LogToMemoryLog);
  static const bool defaults_set =
      (store->SetExperimentDefaults(BuiltInExperimentDefaults()), true);
  (void)defaults_set;
  return *store;
}

}  // namespace

AdminSettingsWatcher::AdminSettingsWatcher(AdminSettingsStore& store,
                                           std::chrono::milliseconds interval)
    : store_(store), interval_(interval), thread_([this] { Run(); }) {}

AdminSettingsWatcher::~AdminSettingsWatcher() {
  Stop();
}

void AdminSettingsWatcher::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void AdminSettingsWatcher::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
    lock.unlock();
    store_.CheckForChanges();
    lock.lock();
  }
}

std::string AdminSettingsPath() {
  const char* path = std::getenv("ORVAPROXY_ADMIN_SETTINGS");
  return (path != nullptr && *path != '\0') ? std::string(path) : kDefaultAdminSettingsPath;
}

AdminSettingsStore* DefaultAdminSettingsStore() {
  AdminSettingsStore& store = DefaultStoreInstance();
  // The watcher is an ordinary static constructed after the first load (and
  // so after the memory log and whichever observer asked first): at exit its
  // thread is joined before any of those is destroyed.
  static AdminSettingsWatcher watcher = [&store]() -> AdminSettingsWatcher {
    store.CheckForChanges();
    return AdminSettingsWatcher(store, AdminSettingsWatcher::kDefaultInterval);
  }();
  return &store;
}

}  // namespace Tav
