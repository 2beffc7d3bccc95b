// ModuleHost: the ovproxy tool as a host of the module, the way a client
// module uses it: InitModule, the lookup of "IOrvaProxyService", initialise
// (on the machine's configuration, or on a manager the tool supplies), and
// network changes from the operating system's source reported through the
// observer the provider hands to its delegate. The file-transfer module the
// PAC downloads go through is kept registered while the module runs.
//
// Thread: Start and Stop on one thread (the tool's main thread); the
// provider may be used from any thread in between. Network changes arrive
// on the source's own thread and are posted on by the provider.
// Lifetime: Stop (also run by the destructor) uninitialises the provider,
// stops the network source and hands the module client back (TermModule).
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "OrvaProxy/orva_proxy_module.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider.h"
#include "OrvaProxy/ov_resolve_trace.h"
#include "onetxfer/onet_module.h"
#include "platform/netchange/ov_network_change_source.h"

namespace ovproxy {

class ModuleHost final : public OVProxy::ovProxyServiceDelegate {
 public:
  ModuleHost() = default;
  ~ModuleHost() override;
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  // `manager` null: the module reads the machine's configuration.
  // `roads` (may be null) hears the road of every answer and each change the
  // module acts on, until Stop. False when the module could not be loaded or
  // initialised.
  bool Start(OVProxy::ovProxyConfigServiceManager* manager = nullptr,
             std::shared_ptr<OVProxy::ovResolveTraceObserver> roads = nullptr);
  void Stop();
  OVProxy::ovProxyResolveServiceProvider* provider() { return provider_; }

  // ovProxyServiceDelegate
  void setNetStateObserver(OVProxy::ovNetStateObserver* observer) override;

 private:
  std::optional<oXfer::ScopedONetModule> transfer_;
  Tav::ITavMessageQueueClient* client_ = nullptr;
  OVProxy::ovProxyResolveServiceProvider* provider_ = nullptr;
  std::unique_ptr<ovplatform::NetworkChangeSource> network_;
  std::mutex observer_mutex_;
  OVProxy::ovNetStateObserver* observer_ = nullptr;
};

}  // namespace ovproxy
