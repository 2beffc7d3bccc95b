// OVTManager: the task library's manager. Keeps the runners by id and name,
// starts a thread for each runner it creates, and routes posts, cancellation
// and waits to them.
//
// The process has one, reached through GetOVTManager. Tests make their own
// and install it with ScopedOVTManagerOverride (see ovtest::TaskEnvironment).
//
// Lifetime: Shutdown (also run by the destructor) refuses new work, drops
// everything queued, and joins every thread it started, including those of
// removed runners; a runner thread that calls it is detached instead of
// joined. The manager object itself stays usable (refusing everything) until
// destroyed, so a thread still holding a pointer to it does no harm.
//
// Threads: the runners' threads; the clock listener runs on whichever thread
// moves a test clock.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "orvatask/host_runner.h"
#include "orvatask/ovt_manager.h"
#include "tavlib/tav_clock.h"

namespace OrvaTask {

namespace internal {
class RunnerCore;
}  // namespace internal

class OVTManager final : public IOVTManager {
 public:
  struct Options {
    // Serve kMainRunnerName by the constructing thread (a HostRunner, see
    // main_host_runner()) rather than by a thread of the manager.
    bool host_main_runner = false;
  };

  OVTManager();
  explicit OVTManager(Options options);
  ~OVTManager() override;
  OVTManager(const OVTManager&) = delete;
  OVTManager& operator=(const OVTManager&) = delete;

  RunnerId CreateRunner(std::string_view name, uint32_t value) override;
  RunnerId GetRunnerId(std::string_view name) override;
  bool RemoveRunner(std::string_view name) override;
  bool RemoveRunner(RunnerId id) override;
  bool PostTask(std::string_view runner, const TaskPtr& task) override;
  bool PostTask(RunnerId runner, const TaskPtr& task) override;
  bool PostDelayedTask(std::string_view runner, const TaskPtr& task,
                       std::chrono::milliseconds delay) override;
  bool PostDelayedTask(RunnerId runner, const TaskPtr& task,
                       std::chrono::milliseconds delay) override;
  std::size_t CancelTasksByValue(uint32_t value) override;
  std::size_t CancelTasksByUniqueKey(const UniqueKey& key) override;
  bool WaitForTask(const TaskPtr& task) override;

  // A runner served by the calling thread (see HostRunner). Null when the
  // name is empty or taken, the thread already serves a runner, or the
  // manager is shut down.
  std::unique_ptr<HostRunner> CreateHostRunner(std::string_view name, uint32_t value);
  // With Options::host_main_runner, the main runner's handle; else null.
  HostRunner* main_host_runner() const { return main_host_runner_.get(); }

  void Shutdown();
  bool IsShutDown() const;

 private:
  struct Entry {
    std::shared_ptr<internal::RunnerCore> core;
    std::thread thread;  // not joinable for host runners
  };

  std::shared_ptr<internal::RunnerCore> Find(std::string_view name);
  std::shared_ptr<internal::RunnerCore> Find(RunnerId id);
  bool Post(const std::shared_ptr<internal::RunnerCore>& core, const TaskPtr& task,
            int64_t delay_ns);
  bool Remove(RunnerId id);
  // Under mutex_: the id of a live runner by that name, forgetting a stopped
  // host runner of that name.
  RunnerId LiveIdLocked(std::string_view name);
  RunnerId AllocateIdLocked();
  void RetireLocked(Entry entry);
  void JoinExitedThreads();
  std::size_t DropMatching(const std::function<bool(const Task&)>& matches);
  void WakeAll();

  mutable std::mutex mutex_;
  bool shut_down_ = false;
  bool shutdown_done_ = false;
  std::condition_variable shutdown_finished_;
  std::map<RunnerId, Entry> runners_;
  std::map<std::string, RunnerId, std::less<>> ids_by_name_;
  std::vector<Entry> retired_;
  RunnerId next_id_ = 0;
  Tav::ClockListenerId clock_listener_ = 0;
  std::unique_ptr<HostRunner> main_host_runner_;
};

}  // namespace OrvaTask
