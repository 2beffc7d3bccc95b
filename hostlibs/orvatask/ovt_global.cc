// The process's manager and the free functions of the task library.
#include <atomic>
#include <memory>
#include <mutex>

#include "orvatask/ovt_manager.h"
#include "orvatask/ovt_task_manager.h"
#include "orvatask/runner_core.h"

namespace OrvaTask {
namespace {

// Namespace-scope atomics and the mutex are constant-initialized and
// trivially destroyed, so they can be used at any point of process exit.
std::mutex g_mutex;
std::atomic<OVTManager*> g_manager{nullptr};
bool g_shut_down = false;         // guarded by g_mutex
bool g_holder_destroyed = false;  // guarded by g_mutex
// 0: no override; kOverrideNull: overridden with null; else the manager.
std::atomic<uintptr_t> g_override{0};
constexpr uintptr_t kOverrideNull = 1;

// The manager is built inside the holder's constructor, so that whatever it
// uses at construction (the memory log, the clock's listeners) is complete
// before the holder and destroyed after it.
struct GlobalHolder {
  OVTManager manager;

  ~GlobalHolder() {
    {
      std::lock_guard lock(g_mutex);
      g_holder_destroyed = true;
      g_manager.store(nullptr, std::memory_order_release);
    }
    manager.Shutdown();
  }
};

}  // namespace

IOVTManager* GetOVTManager() {
  if (const uintptr_t override_value = g_override.load(std::memory_order_acquire)) {
    return override_value == kOverrideNull ? nullptr
                                           : reinterpret_cast<IOVTManager*>(override_value);
  }
  if (OVTManager* manager = g_manager.load(std::memory_order_acquire)) return manager;
  std::lock_guard lock(g_mutex);
  if (g_shut_down || g_holder_destroyed) return nullptr;
  static GlobalHolder holder;
  g_manager.store(&holder.manager, std::memory_order_release);
  return &holder.manager;
}

void ShutdownOVTManager() {
  OVTManager* manager = nullptr;
  {
    std::lock_guard lock(g_mutex);
    g_shut_down = true;
    if (!g_holder_destroyed) manager = g_manager.exchange(nullptr, std::memory_order_acq_rel);
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
