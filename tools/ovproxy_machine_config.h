// What the module sees of this machine's proxy configuration, for the
// ovproxy tool: a configuration service manager run on a runner of its own
// ("ovproxy_config_runner"), with an observer that collects each change it
// reports.
//
// Thread: the watcher's members from one thread (the tool's main thread);
// the manager lives on its runner. Lifetime: Stop (also run by the
// destructor) destroys the manager on its runner and removes the runner.
// Without the task library nothing is read (Start answers false).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_observer.h"

namespace ovproxy {

struct MachineProxyConfig {
  std::shared_ptr<OVProxy::ovProxyConfig> config;
  OVProxy::ovProxyConfigAvailability availability = OVProxy::CONFIG_PENDING;
  std::string source;           // "system (gnome)", "Firefox (/path/prefs.js)"
  std::string browser;          // "Firefox" or "Other"
  std::string browser_program;  // what the "http" association runs; may be empty
};

class MachineConfigWatcher {
 public:
  MachineConfigWatcher();
  ~MachineConfigWatcher();
  MachineConfigWatcher(const MachineConfigWatcher&) = delete;
  MachineConfigWatcher& operator=(const MachineConfigWatcher&) = delete;

  // Creates the runner and the manager and asks for the configuration.
  bool Start();
  // Asks the manager again (a lazy poll: at most one read per interval).
  void Poll();
  // The next change the manager reported; nullopt when none came within
  // `timeout`.
  std::optional<MachineProxyConfig> WaitNext(std::chrono::milliseconds timeout);
  void Stop();

 private:
  class Observer;
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<MachineProxyConfig> changes;
  };

  bool RunOnRunner(std::function<void()> work);

  std::shared_ptr<Shared> shared_;
  std::unique_ptr<Observer> observer_;
  bool started_ = false;
};

// The machine's configuration once the manager has told it; a direct
// configuration when it could not be read within `timeout`.
std::shared_ptr<OVProxy::ovProxyConfig> MachineProxyConfigSnapshot(
    std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace ovproxy
