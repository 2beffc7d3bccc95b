// The process's manager and the free functions of the task library.
#include <atomic>
#include <memory>
#include <mutex>

#include "orvatask/ovt_manager.h"
#include "orvatask/ovt_task_manager.h"
#include "orvatask/runner_core.h"

namespace OrvaTask {
namespace {

// Namespace-scope atomics are constant-initialized and trivially destroyed,
// so they can be read at any point of process exit.
std::atomic<IOVTManager*> g_manager{nullptr};
std::atomic<bool> g_holder_destroyed{false};
// 0: no override; kOverrideNull: overridden with null; else the manager.
std::atomic<uintptr_t> g_override{0};
constexpr uintptr_t kOverrideNull = 1;

struct GlobalHolder {
  std::mutex mutex;
  std::unique_ptr<OVTManager> manager;
  bool shut_down = false;

  ~GlobalHolder() {
    g_manager.store(nullptr, std::memory_order_release);
    g_holder_destroyed.store(true, std::memory_order_release);
    if (manager) manager->Shutdown();
  }
};

GlobalHolder& Holder() {
  static GlobalHolder holder;
  return holder;
}

}  // namespace

IOVTManager* GetOVTManager() {
  if (const uintptr_t override_value = g_override.load(std::memory_order_acquire)) {
    return override_value == kOverrideNull ? nullptr
                                           : reinterpret_cast<IOVTManager*>(override_value);
  }
  if (IOVTManager* manager = g_manager.load(std::memory_order_acquire)) return manager;
  if (g_holder_destroyed.load(std::memory_order_acquire)) return nullptr;
  GlobalHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  if (holder.shut_down) return nullptr;
  if (!holder.manager) {
    holder.manager = std::make_unique<OVTManager>();
    g_manager.store(holder.manager.get(), std::memory_order_release);
  }
  return holder.manager.get();
}

void ShutdownOVTManager() {
  if (g_holder_destroyed.load(std::memory_order_acquire)) return;
  GlobalHolder& holder = Holder();
  OVTManager* manager = nullptr;
  {
    std::lock_guard lock(holder.mutex);
    holder.shut_down = true;
    g_manager.store(nullptr, std::memory_order_release);
    manager = holder.manager.get();
  }
  // The object stays until exit, for threads that still hold its address.
  if (manager) manager->Shutdown();
}

std::string GetRunnerNameOfCurrentThread() {
  const auto current = internal::CurrentRunner();
  return current && !current->stopped() ? current->name() : std::string();
}

ScopedOVTManagerOverride::ScopedOVTManagerOverride(IOVTManager* manager)
    : previous_(g_override.exchange(manager ? reinterpret_cast<uintptr_t>(manager) : kOverrideNull,
                                    std::memory_order_acq_rel)) {}

ScopedOVTManagerOverride::~ScopedOVTManagerOverride() {
  g_override.store(previous_, std::memory_order_release);
}

}  // namespace OrvaTask
