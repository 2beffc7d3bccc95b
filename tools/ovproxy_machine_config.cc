#include "ovproxy_machine_config.h"

#include <functional>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_manager_impl.h"
#include "orvatask/orva_task.h"

namespace ovproxy {
namespace {

constexpr char kRunnerName[] = "ovproxy_config_runner";

}  // namespace

// Lives on the runner: owns the manager and turns its reports into
// snapshots for the waiting thread.
class MachineConfigWatcher::Observer final : public OVProxy::ovProxyConfigServiceObserver {
 public:
  explicit Observer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  void Create() {
    manager_ = std::make_unique<OVProxy::ovProxyConfigServiceManagerImpl>(kRunnerName);
    manager_->addObserver(this);
    Poll();
  }
  void Poll() {
    if (!manager_) return;
    OVProxy::ovProxyConfig ignored;
    manager_->getLatestProxyConfig(ignored);
  }
  void Destroy() {
    if (!manager_) return;
    manager_->removeObserver(this);
    manager_.reset();
  }

  void onProxyConfigChanged(const OVProxy::ovProxyConfig& config,
                            OVProxy::ovProxyConfigAvailability availability) override {
    MachineProxyConfig change;
    change.config = config.duplicate();
    change.availability = availability;
    change.source = manager_->describeSource();
    change.browser =
        manager_->getBrowserType() == OVProxy::ovBrowserType::Firefox ? "Firefox" : "Other";
    change.browser_program = manager_->defaultBrowserProgram();
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->changes.push_back(std::move(change));
    shared_->changed.notify_all();
  }

 private:
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<OVProxy::ovProxyConfigServiceManagerImpl> manager_;
};

MachineConfigWatcher::MachineConfigWatcher()
    : shared_(std::make_shared<Shared>()), observer_(std::make_unique<Observer>(shared_)) {}

MachineConfigWatcher::~MachineConfigWatcher() {
  Stop();
}

bool MachineConfigWatcher::RunOnRunner(std::function<void()> work) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager == nullptr) return false;
  auto task = OrvaTask::CreateOrvaTask(
      {.name = "ovproxy_config", .location = OrvaTask::SourceLocation::Current()}, std::move(work));
  return manager->PostTask(kRunnerName, task) && manager->WaitForTask(task);
}

bool MachineConfigWatcher::Start() {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (started_ || manager == nullptr ||
      manager->CreateRunner(kRunnerName, 0) == OrvaTask::kInvalidRunnerId) {
    return started_;
  }
  started_ = RunOnRunner([this] { observer_->Create(); });
  if (!started_) manager->RemoveRunner(kRunnerName);
  return started_;
}

void MachineConfigWatcher::Poll() {
  if (started_) RunOnRunner([this] { observer_->Poll(); });
}

std::optional<MachineProxyConfig> MachineConfigWatcher::WaitNext(
    std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  if (!shared_->changed.wait_for(lock, timeout, [this] { return !shared_->changes.empty(); })) {
    return std::nullopt;
  }
  MachineProxyConfig change = std::move(shared_->changes.front());
  shared_->changes.pop_front();
  return change;
}

void MachineConfigWatcher::Stop() {
  if (!started_) return;
  started_ = false;
  // Should the runner refuse the work, the manager is left to the process's
  // end rather than destroyed on the wrong thread.
  if (!RunOnRunner([this] { observer_->Destroy(); })) (void)observer_.release();
  if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
    manager->RemoveRunner(kRunnerName);
  }
}

std::shared_ptr<OVProxy::ovProxyConfig> MachineProxyConfigSnapshot(
    std::chrono::milliseconds timeout) {
  MachineConfigWatcher watcher;
  if (watcher.Start()) {
    if (auto change = watcher.WaitNext(timeout)) return change->config;
  }
  return std::make_shared<OVProxy::ovProxyConfig>();
}

}  // namespace ovproxy
