#include "tavbiz/admin_settings_watcher.h"

#include <atomic>
#include <cstdint>
#include <mutex>

#include "klbutil/memory_log.h"
#include "orvatask/orva_task.h"
#include "platform/os/ov_os.h"
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

// Shared by the watcher and its queued check, so that a check that outlives
// the watcher finds it stopped instead of a dangling watcher.
struct AdminSettingsWatcher::State : std::enable_shared_from_this<State> {
  State(AdminSettingsStore& watched, std::chrono::milliseconds every)
      : store(watched),
        interval(every),
        key(OrvaTask::GenerateUniqueKey(std::string(kRunnerName) + "#" +
                                        std::to_string(NextSerial()))) {}

  static uint64_t NextSerial() {
    static std::atomic<uint64_t> serial{0};
    return serial.fetch_add(1, std::memory_order_relaxed);
  }

  // Under mutex.
  bool ScheduleLocked() {
    OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
    if (!manager || stopped) return false;
    auto task = OrvaTask::CreateOrvaTask({.name = "AdminSettingsCheck",
                                          .location = OrvaTask::SourceLocation::Current(),
                                          .unique_keys = {key}},
                                         [weak = weak_from_this()] {
                                           if (const std::shared_ptr<State> state = weak.lock())
                                             state->Check();
                                         });
    return manager->PostDelayedTask(kRunnerName, task, interval);
  }

  void Check() {
    // Recursive: an observer of this check may stop the watcher.
    std::lock_guard lock(mutex);
    if (stopped) return;
    store.CheckForChanges();
    if (!stopped && !ScheduleLocked()) {
      LogToMemoryLog(3, "Admin settings: watching stopped - the runner refused the next check");
    }
  }

  AdminSettingsStore& store;
  const std::chrono::milliseconds interval;
  const OrvaTask::UniqueKey key;
  std::recursive_mutex mutex;
  bool stopped = false;     // guarded by mutex
  bool own_runner = false;  // set before the first check is posted
};

AdminSettingsWatcher::AdminSettingsWatcher(AdminSettingsStore& store,
                                           std::chrono::milliseconds interval)
    : state_(std::make_shared<State>(store, interval)) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  bool scheduled = false;
  if (manager) {
    const bool existed = manager->GetRunnerId(kRunnerName) != OrvaTask::kInvalidRunnerId;
    if (manager->CreateRunner(kRunnerName, 0) != OrvaTask::kInvalidRunnerId) {
      state_->own_runner = !existed;
      std::lock_guard lock(state_->mutex);
      scheduled = state_->ScheduleLocked();
    }
  }
  if (!scheduled) {
    LogToMemoryLog(3, "Admin settings: not watched for changes - no task runner");
  }
}

AdminSettingsWatcher::~AdminSettingsWatcher() {
  Stop();
}

void AdminSettingsWatcher::Stop() {
  {
    // Waits for a check under way on the runner (unless this is that check).
    std::lock_guard lock(state_->mutex);
    if (state_->stopped) return;
    state_->stopped = true;
  }
  if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
    manager->CancelTasksByUniqueKey(state_->key);
    if (state_->own_runner) manager->RemoveRunner(kRunnerName);
  }
}

std::string AdminSettingsPath() {
  ovplatform::Os& os = ovplatform::GetOs();
  if (auto path = os.GetEnv("ORVAPROXY_ADMIN_SETTINGS"); path && !path->empty()) return *path;
  const std::string machine = os.MachineSettingsDirectory();
  // Joined to "", the name would be read from the current folder.
  if (machine.empty()) return {};
  return ovplatform::JoinPath(ovplatform::JoinPath(machine, kAdminSettingsFolder),
                              kAdminSettingsFile);
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
