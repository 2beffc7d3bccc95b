#include "nsdal/ipc_helper.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "nsdal/dal_log.h"
#include "nsdal/dal_runner.h"
#include "nsdal/dal_system_bus.h"
#include "tavlib/tav_no_destructor.h"

namespace ns_dal {
namespace {

using CoalesceKey = std::tuple<std::string, std::string, std::string>;

// The process's registry of sinks and its link to the bus. Never destroyed:
// delayed sends and the bus's thread may still reach it during exit.
class Hub final : public IDALBusDelegate {
 public:
  Hub() = default;

  static Hub& Get() {
    static Tav::NoDestructor<Hub> hub;
    return *hub;
  }

  bool AddSink(const std::string& mode_id, IDALIPCSink* sink) {
    if (mode_id.empty() || sink == nullptr) return false;
    {
      std::lock_guard lock(sinks_mutex_);
      auto& list = sinks_[mode_id];
      if (std::find(list.begin(), list.end(), sink) != list.end()) return false;
      list.push_back(sink);
    }
    RequestSnapshot(mode_id);
    return true;
  }

  bool RemoveSink(const std::string& mode_id, IDALIPCSink* sink) {
    {
      std::lock_guard lock(sinks_mutex_);
      auto found = sinks_.find(mode_id);
      if (found == sinks_.end()) return false;
      auto& list = found->second;
      auto it = std::find(list.begin(), list.end(), sink);
      if (it == list.end()) return false;
      list.erase(it);
      if (list.empty()) sinks_.erase(found);
    }
    // Waits out deliveries that picked the sink before it left the map.
    std::unique_lock wait(delivery_mutex_);
    return true;
  }

  void SyncData(const std::string& mode_id, const std::string& field_id, const std::string& text,
                int32_t target) {
    {
      std::shared_lock lock(bus_mutex_);
      if (IDALBus* bus = CurrentBusLocked(lock)) bus->Publish(mode_id, field_id, text, target);
    }
    RegisterExitFlush();
  }

  bool FlushPendingSends(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::pair<CoalesceKey, uint64_t>> due;
    {
      std::lock_guard lock(coalesce_mutex_);
      for (const auto& [key, pending] : pending_) due.emplace_back(key, pending.generation);
    }
    // Each runs at most once: whichever of this and the runner takes it.
    for (const auto& [key, generation] : due) FlushCoalesced(key, generation);
    std::shared_lock lock(bus_mutex_);
    IDALBus* bus = use_default_ ? default_bus_.get() : override_;
    if (bus == nullptr) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return bus->Drain(std::max(left, std::chrono::milliseconds(0)));
  }

  void SyncDataCoalesced(const std::string& mode_id, const std::string& field_id,
                         const std::string& key,
                         std::function<std::optional<std::string>()> produce) {
    CoalesceKey coalesce_key{mode_id, field_id, key};
    uint64_t generation = 0;
    {
      std::lock_guard lock(coalesce_mutex_);
      auto [it, inserted] = pending_.try_emplace(coalesce_key);
      it->second.produce = std::move(produce);
      if (!inserted) return;  // the scheduled send will take the latest state
      generation = it->second.generation = ++last_generation_;
    }
    // Released with the task, whether it ran or was dropped: a dropped send
    // must not leave its entry behind, or no later change would be sent.
    auto forget = std::shared_ptr<void>(nullptr, [coalesce_key, generation](void*) {
      Get().ForgetCoalesced(coalesce_key, generation);
    });
    auto flush = [coalesce_key, generation, forget] {
      Get().FlushCoalesced(coalesce_key, generation);
    };
    if (!PostToDalRunner("DalCoalescedSend", flush, kCoalesceWindow)) {
      FlushCoalesced(coalesce_key, generation);
    }
    RegisterExitFlush();
  }

  void RequestSnapshot(const std::string& mode_id) {
    {
      std::lock_guard lock(join_mutex_);
      join_[mode_id] = JoinState::kPending;
    }
    std::shared_lock lock(bus_mutex_);
    if (IDALBus* bus = CurrentBusLocked(lock)) {
      bus->RequestSnapshot(mode_id);
      return;
    }
    lock.unlock();
    SetJoinState(mode_id, JoinState::kNoPeer);
  }

  JoinState GetJoinState(const std::string& mode_id) {
    std::lock_guard lock(join_mutex_);
    auto found = join_.find(mode_id);
    return found == join_.end() ? JoinState::kNotRequested : found->second;
  }

  JoinState WaitForJoin(const std::string& mode_id, std::chrono::milliseconds timeout) {
    std::unique_lock lock(join_mutex_);
    join_changed_.wait_for(lock, timeout, [&] {
      auto found = join_.find(mode_id);
      return found == join_.end() || found->second != JoinState::kPending;
    });
    auto found = join_.find(mode_id);
    return found == join_.end() ? JoinState::kNotRequested : found->second;
  }

  // Returns the bus that was installed before; `was_default` tells whether
  // that was the environment's bus (made lazily).
  IDALBus* InstallBus(IDALBus* bus, bool use_default, bool* was_default) {
    IDALBus* previous = nullptr;
    {
      std::shared_lock lock(bus_mutex_);
      previous = use_default_ ? default_bus_.get() : override_;
      *was_default = use_default_;
    }
    // Waits for callbacks of the old bus before the swap, so that none
    // arrives from a bus that is about to go away.
    if (previous != nullptr) previous->SetDelegate(nullptr);
    IDALBus* next = nullptr;
    {
      std::unique_lock lock(bus_mutex_);
      use_default_ = use_default;
      override_ = bus;
      // Read under the lock: a send on the layer's runner may be making the
      // environment's bus right now.
      next = use_default ? default_bus_.get() : bus;
    }
    if (next != nullptr) next->SetDelegate(this);
    return previous;
  }

  // Stops the environment's bus at process exit.
  void ShutdownDefaultBus() {
    std::unique_ptr<SystemDalBus> bus;
    {
      std::unique_lock lock(bus_mutex_);
      bus = std::move(default_bus_);
      default_failed_ = true;
    }
    if (bus) bus->SetDelegate(nullptr);
  }

  // IDALBusDelegate
  void OnBusMessage(const std::string& mode_id, const std::string& field_id,
                    const std::string& text) override {
    std::shared_lock delivering(delivery_mutex_);
    for (IDALIPCSink* sink : SinksOf(mode_id)) sink->onSyncData(mode_id, field_id, text);
  }

  std::string OnBusSnapshotRequest(const std::string& mode_id) override {
    std::shared_lock delivering(delivery_mutex_);
    for (IDALIPCSink* sink : SinksOf(mode_id)) {
      if (!sink->isSyncDataProvider()) continue;
      std::string text = sink->getSyncData();
      if (!text.empty()) return text;
    }
    return std::string();
  }

  void OnBusSnapshot(const std::string& mode_id, std::optional<std::string> text) override {
    {
      std::shared_lock delivering(delivery_mutex_);
      for (IDALIPCSink* sink : SinksOf(mode_id)) {
        if (text) {
          sink->applySyncData(*text);
        } else {
          sink->onSyncDataUnavailable();
        }
      }
    }
    SetJoinState(mode_id, text ? JoinState::kApplied : JoinState::kNoPeer);
  }

 private:
  std::vector<IDALIPCSink*> SinksOf(const std::string& mode_id) {
    std::lock_guard lock(sinks_mutex_);
    auto found = sinks_.find(mode_id);
    return found == sinks_.end() ? std::vector<IDALIPCSink*>() : found->second;
  }

  void SetJoinState(const std::string& mode_id, JoinState state) {
    {
      std::lock_guard lock(join_mutex_);
      join_[mode_id] = state;
    }
    join_changed_.notify_all();
  }

  void FlushCoalesced(const CoalesceKey& key, uint64_t generation) {
    std::function<std::optional<std::string>()> produce;
    {
      std::lock_guard lock(coalesce_mutex_);
      auto found = pending_.find(key);
      if (found == pending_.end() || found->second.generation != generation) return;
      produce = std::move(found->second.produce);
      pending_.erase(found);
    }
    std::optional<std::string> text = produce ? produce() : std::nullopt;
    if (text) SyncData(std::get<0>(key), std::get<1>(key), *text, kAllPeers);
  }

  void ForgetCoalesced(const CoalesceKey& key, uint64_t generation) {
    std::lock_guard lock(coalesce_mutex_);
    auto found = pending_.find(key);
    if (found != pending_.end() && found->second.generation == generation) pending_.erase(found);
  }

  // The bus to use; makes the environment's bus on first use. Called with
  // bus_mutex_ held shared; upgrades to exclusive for the first creation.
  IDALBus* CurrentBusLocked(std::shared_lock<std::shared_mutex>& lock) {
    if (!use_default_) return override_;
    if (default_bus_ || default_failed_) return default_bus_.get();
    lock.unlock();
    {
      std::unique_lock exclusive(bus_mutex_);
      if (use_default_ && !default_bus_ && !default_failed_) {
        std::string error;
        default_bus_ = SystemDalBus::CreateFromEnvironment(&error);
        if (default_bus_) {
          default_bus_->SetDelegate(this);
          RegisterExitHandler();
        } else {
          default_failed_ = true;
          DalLog(klb::LogLevel::kWarning, "NSDAL_NOBUS",
                 "IPCHelper: no bus, data stays in this process - error=" + error);
        }
      }
    }
    lock.lock();
    return use_default_ ? default_bus_.get() : override_;
  }

  static void RegisterExitHandler();
  static void RegisterExitFlush();

  std::mutex sinks_mutex_;
  std::map<std::string, std::vector<IDALIPCSink*>> sinks_;
  std::shared_mutex delivery_mutex_;

  std::shared_mutex bus_mutex_;
  bool use_default_ = true;
  IDALBus* override_ = nullptr;
  std::unique_ptr<SystemDalBus> default_bus_;
  bool default_failed_ = false;

  struct PendingSend {
    std::function<std::optional<std::string>()> produce;
    uint64_t generation = 0;
  };
  std::mutex coalesce_mutex_;
  std::map<CoalesceKey, PendingSend> pending_;
  uint64_t last_generation_ = 0;

  std::mutex join_mutex_;
  std::condition_variable join_changed_;
  std::map<std::string, JoinState> join_;
};

// Constructed when the environment's bus is first made, which is inside the
// first AddSink or SyncData; so it is destroyed after the modes that were
// complete by then, and stops the bus's thread before the libraries it uses
// go away.
struct DefaultBusStopper {
  ~DefaultBusStopper() { Hub::Get().ShutdownDefaultBus(); }
};

void Hub::RegisterExitHandler() {
  static DefaultBusStopper stopper;
  (void)stopper;
}

// Made after the first send was handed to the runner, so it is destroyed
// before the task library's manager (made for that send) and before the
// modes that were complete by then: a process that ends right after a change
// still sends it, within kExitFlushLimit.
struct ExitFlush {
  ~ExitFlush() { Hub::Get().FlushPendingSends(kExitFlushLimit); }
};

void Hub::RegisterExitFlush() {
  static ExitFlush flush;
  (void)flush;
}

}  // namespace

bool IPCHelper::AddSink(const std::string& mode_id, IDALIPCSink* sink) {
  return Hub::Get().AddSink(mode_id, sink);
}

bool IPCHelper::RemoveSink(const std::string& mode_id, IDALIPCSink* sink) {
  return Hub::Get().RemoveSink(mode_id, sink);
}

void IPCHelper::SyncData(const std::string& mode_id, const std::string& field_id,
                         const std::string& text, int32_t target) {
  Hub::Get().SyncData(mode_id, field_id, text, target);
}

void IPCHelper::SyncDataCoalesced(const std::string& mode_id, const std::string& field_id,
                                  const std::string& key,
                                  std::function<std::optional<std::string>()> produce) {
  Hub::Get().SyncDataCoalesced(mode_id, field_id, key, std::move(produce));
}

bool IPCHelper::FlushPendingSends(std::chrono::milliseconds timeout) {
  return Hub::Get().FlushPendingSends(timeout);
}

void IPCHelper::RequestSnapshot(const std::string& mode_id) {
  Hub::Get().RequestSnapshot(mode_id);
}

JoinState IPCHelper::GetJoinState(const std::string& mode_id) {
  return Hub::Get().GetJoinState(mode_id);
}

JoinState IPCHelper::WaitForJoin(const std::string& mode_id, std::chrono::milliseconds timeout) {
  return Hub::Get().WaitForJoin(mode_id, timeout);
}

ScopedDalBusOverride::ScopedDalBusOverride(IDALBus* bus)
    : previous_(nullptr), previous_was_default_(false) {
  previous_ = Hub::Get().InstallBus(bus, false, &previous_was_default_);
}

ScopedDalBusOverride::~ScopedDalBusOverride() {
  bool ignored = false;
  Hub::Get().InstallBus(previous_, previous_was_default_, &ignored);
}

}  // namespace ns_dal
