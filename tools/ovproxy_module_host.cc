#include "ovproxy_module_host.h"

#include <chrono>

#include "nsdal/dal_bus.h"
#include "orvatask/orva_task.h"
#include "ovproxy_private_bus.h"

namespace ovproxy {

ModuleHost::~ModuleHost() {
  Stop();
}

bool ModuleHost::Start(OVProxy::ovProxyConfigServiceManager* manager,
                       std::shared_ptr<OVProxy::ovResolveTraceObserver> roads) {
  transfer_.emplace();
  client_ = InitModule();
  provider_ = client_ ? static_cast<OVProxy::ovProxyResolveServiceProvider*>(
                            client_->QueryInterface(OVProxy::kProxyServiceName))
                      : nullptr;
  const bool tracing = roads != nullptr;
  if (provider_ && tracing) provider_->setTraceObserver(std::move(roads));
  if (!provider_ || !provider_->initializeWithManager(this, manager)) {
    if (provider_ && tracing) provider_->setTraceObserver(nullptr);
    provider_ = nullptr;
    Stop();
    return false;
  }
  provider_->setDelegate(this);
  network_ = ovplatform::CreateNetworkChangeSource();
  // Without notifications the module still answers; it only misses moves
  // between networks.
  if (network_ && !network_->Start([this] {
        std::lock_guard lock(observer_mutex_);
        if (observer_) observer_->OnNetSettingChange(0);
      })) {
    network_.reset();
  }
  return true;
}

void ModuleHost::Stop() {
  if (network_) {
    network_->Stop();
    network_.reset();
  }
  if (provider_) {
    provider_->setTraceObserver(nullptr);
    provider_->uninitialize();
    provider_ = nullptr;
  }
  if (client_) {
    TermModule(client_);
    client_ = nullptr;
  }
  transfer_.reset();
}

void ModuleHost::setNetStateObserver(OVProxy::ovNetStateObserver* observer) {
  std::lock_guard lock(observer_mutex_);
  observer_ = observer;
}

ScopedPrivateBus::~ScopedPrivateBus() {
  // Delayed work runs in due order: an empty task due after the coalescing
  // window runs after every send posted before it.
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (!manager) return;
  auto task = OrvaTask::CreateOrvaTask(
      OrvaTask::TaskAttribute{.name = "ovproxy_private_bus_flush",
                              .location = OrvaTask::SourceLocation::Current()},
      [] {});
  if (manager->PostDelayedTask(ns_dal::kDalIpcRunnerName, task, 2 * ns_dal::kCoalesceWindow)) {
    manager->WaitForTask(task);
  }
}

}  // namespace ovproxy
