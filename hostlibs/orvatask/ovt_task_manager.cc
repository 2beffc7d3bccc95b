#include "orvatask/ovt_task_manager.h"

#include <system_error>
#include <utility>

#include "klbutil/memory_log.h"
#include "orvatask/runner_core.h"

namespace OrvaTask {

OVTManager::OVTManager() : OVTManager(Options{}) {}

OVTManager::OVTManager(Options options) {
  // Tasks log; the log must outlive the threads that run them.
  klb::MemoryLog::Instance();
  if (options.host_main_runner) {
    main_host_runner_ = CreateHostRunner(kMainRunnerName, 0);
  } else {
    CreateRunner(kMainRunnerName, 0);
  }
  clock_listener_ = Tav::AddClockListener([this] { WakeAll(); });
}

OVTManager::~OVTManager() {
  Shutdown();
  main_host_runner_.reset();
}

RunnerId OVTManager::CreateRunner(std::string_view name, uint32_t value) {
  if (name.empty()) return kInvalidRunnerId;
  RunnerId id = kInvalidRunnerId;
  {
    std::lock_guard lock(mutex_);
    if (shut_down_) return kInvalidRunnerId;
    if (RunnerId existing = LiveIdLocked(name); existing != kInvalidRunnerId) return existing;
    id = AllocateIdLocked();
    if (id == kInvalidRunnerId) return kInvalidRunnerId;
    auto core = std::make_shared<internal::RunnerCore>(std::string(name), id, value, this);
    Entry entry{core, {}};
    try {
      entry.thread = std::thread([core] { core->RunLoop(); });
    } catch (const std::system_error&) {
      return kInvalidRunnerId;
    }
    runners_.emplace(id, std::move(entry));
    ids_by_name_.emplace(std::string(name), id);
  }
  JoinExitedThreads();
  return id;
}

std::unique_ptr<HostRunner> OVTManager::CreateHostRunner(std::string_view name, uint32_t value) {
  if (name.empty()) return nullptr;
  if (auto current = internal::CurrentRunner(); current && !current->stopped()) return nullptr;
  std::shared_ptr<internal::RunnerCore> core;
  {
    std::lock_guard lock(mutex_);
    if (shut_down_ || LiveIdLocked(name) != kInvalidRunnerId) return nullptr;
    const RunnerId id = AllocateIdLocked();
    if (id == kInvalidRunnerId) return nullptr;
    core = std::make_shared<internal::RunnerCore>(std::string(name), id, value, this);
    runners_.emplace(id, Entry{core, {}});
    ids_by_name_.emplace(std::string(name), id);
  }
  internal::BindCurrentThread(core);
  return std::make_unique<HostRunner>(std::move(core));
}

RunnerId OVTManager::GetRunnerId(std::string_view name) {
  std::lock_guard lock(mutex_);
  return LiveIdLocked(name);
}

bool OVTManager::RemoveRunner(std::string_view name) {
  RunnerId id = kInvalidRunnerId;
  {
    std::lock_guard lock(mutex_);
    id = LiveIdLocked(name);
  }
  return id != kInvalidRunnerId && Remove(id);
}

bool OVTManager::RemoveRunner(RunnerId id) {
  return Remove(id);
}

bool OVTManager::Remove(RunnerId id) {
  std::shared_ptr<internal::RunnerCore> core;
  {
    std::lock_guard lock(mutex_);
    auto it = runners_.find(id);
    if (it == runners_.end() || it->second.core->name() == kMainRunnerName) return false;
    core = it->second.core;
    const bool was_live = !core->stopped();
    if (auto name = ids_by_name_.find(core->name());
        name != ids_by_name_.end() && name->second == id) {
      ids_by_name_.erase(name);
    }
    RetireLocked(std::move(it->second));
    runners_.erase(it);
    if (!was_live) return false;
  }
  for (const TaskPtr& task : core->Stop()) task->Drop();
  JoinExitedThreads();
  return true;
}

bool OVTManager::PostTask(std::string_view runner, const TaskPtr& task) {
  return task && Post(Find(runner), task, int64_t{task->attribute().delay_ms} * 1'000'000);
}

bool OVTManager::PostTask(RunnerId runner, const TaskPtr& task) {
  return task && Post(Find(runner), task, int64_t{task->attribute().delay_ms} * 1'000'000);
}

bool OVTManager::PostDelayedTask(std::string_view runner, const TaskPtr& task,
                                 std::chrono::milliseconds delay) {
  return Post(Find(runner), task, std::chrono::nanoseconds(delay).count());
}

bool OVTManager::PostDelayedTask(RunnerId runner, const TaskPtr& task,
                                 std::chrono::milliseconds delay) {
  return Post(Find(runner), task, std::chrono::nanoseconds(delay).count());
}

bool OVTManager::Post(const std::shared_ptr<internal::RunnerCore>& core, const TaskPtr& task,
                      int64_t delay_ns) {
  return core && task && core->Enqueue(task, delay_ns);
}

std::size_t OVTManager::CancelTasksByValue(uint32_t value) {
  return DropMatching([value](const Task& task) { return task.attribute().value == value; });
}

std::size_t OVTManager::CancelTasksByUniqueKey(const UniqueKey& key) {
  return DropMatching([&key](const Task& task) { return task.attribute().HasUniqueKey(key); });
}

std::size_t OVTManager::DropMatching(const std::function<bool(const Task&)>& matches) {
  std::vector<std::shared_ptr<internal::RunnerCore>> cores;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, entry] : runners_) cores.push_back(entry.core);
  }
  std::size_t dropped = 0;
  for (const auto& core : cores) {
    for (const TaskPtr& task : core->Extract(matches)) {
      task->Drop();
      ++dropped;
    }
  }
  return dropped;
}

bool OVTManager::WaitForTask(const TaskPtr& task) {
  if (!task) return false;
  const auto current = internal::CurrentRunner();
  return task->Wait(current ? current->serial() : 0);
}

void OVTManager::Shutdown() {
  std::vector<Entry> entries;
  {
    std::unique_lock lock(mutex_);
    if (shut_down_) {
      // A runner thread cannot wait for the shutdown that joins it.
      const auto current = internal::CurrentRunner();
      if (current && current->owner() == this) return;
      shutdown_finished_.wait(lock, [this] { return shutdown_done_; });
      return;
    }
    shut_down_ = true;
    for (auto& [id, entry] : runners_) entries.push_back(std::move(entry));
    for (auto& entry : retired_) entries.push_back(std::move(entry));
    runners_.clear();
    ids_by_name_.clear();
    retired_.clear();
  }
  Tav::RemoveClockListener(clock_listener_);
  for (Entry& entry : entries) {
    for (const TaskPtr& task : entry.core->Stop()) task->Drop();
  }
  const std::thread::id self = std::this_thread::get_id();
  for (Entry& entry : entries) {
    if (!entry.thread.joinable()) continue;
    if (entry.thread.get_id() == self) {
      entry.thread.detach();
    } else {
      entry.thread.join();
    }
  }
  {
    std::lock_guard lock(mutex_);
    shutdown_done_ = true;
  }
  shutdown_finished_.notify_all();
}

bool OVTManager::IsShutDown() const {
  std::lock_guard lock(mutex_);
  return shut_down_;
}

std::shared_ptr<internal::RunnerCore> OVTManager::Find(std::string_view name) {
  std::lock_guard lock(mutex_);
  const RunnerId id = LiveIdLocked(name);
  return id == kInvalidRunnerId ? nullptr : runners_.at(id).core;
}

std::shared_ptr<internal::RunnerCore> OVTManager::Find(RunnerId id) {
  std::lock_guard lock(mutex_);
  auto it = runners_.find(id);
  return it == runners_.end() ? nullptr : it->second.core;
}

RunnerId OVTManager::LiveIdLocked(std::string_view name) {
  auto it = ids_by_name_.find(name);
  if (it == ids_by_name_.end()) return kInvalidRunnerId;
  auto runner = runners_.find(it->second);
  if (runner != runners_.end() && !runner->second.core->stopped()) return it->second;
  // A host runner whose handle went away.
  if (runner != runners_.end()) {
    RetireLocked(std::move(runner->second));
    runners_.erase(runner);
  }
  ids_by_name_.erase(it);
  return kInvalidRunnerId;
}

RunnerId OVTManager::AllocateIdLocked() {
  // Ids advance round-robin so that a stale id reaches a new runner only
  // after every other id was handed out.
  for (uint32_t tries = 0; tries < kInvalidRunnerId; ++tries) {
    const RunnerId id = next_id_;
    next_id_ = static_cast<RunnerId>((next_id_ + 1) % kInvalidRunnerId);
    if (!runners_.contains(id)) return id;
  }
  return kInvalidRunnerId;
}

void OVTManager::RetireLocked(Entry entry) {
  if (entry.thread.joinable()) retired_.push_back(std::move(entry));
}

void OVTManager::JoinExitedThreads() {
  std::vector<std::thread> exited;
  {
    std::lock_guard lock(mutex_);
    for (auto it = retired_.begin(); it != retired_.end();) {
      if (it->core->exited()) {
        exited.push_back(std::move(it->thread));
        it = retired_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (std::thread& thread : exited) thread.join();
}

void OVTManager::WakeAll() {
  std::vector<std::shared_ptr<internal::RunnerCore>> cores;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, entry] : runners_) cores.push_back(entry.core);
  }
  for (const auto& core : cores) core->Wake();
}

}  // namespace OrvaTask
