#include "ovproxy_module_host.h"

namespace ovproxy {

ModuleHost::~ModuleHost() {
  Stop();
}

bool ModuleHost::Start(OVProxy::ovProxyConfigServiceManager* manager) {
  transfer_.emplace();
  client_ = InitModule();
  provider_ = client_ ? static_cast<OVProxy::ovProxyResolveServiceProvider*>(
                            client_->QueryInterface(OVProxy::kProxyServiceName))
                      : nullptr;
  if (!provider_ || !provider_->initializeWithManager(this, manager)) {
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

}  // namespace ovproxy
