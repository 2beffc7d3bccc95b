// The module boundary: InitModule makes the module client the host keeps
// until TermModule; the client answers service lookups by interface name:
// "IOrvaProxyService" (an ovProxyResolveServiceProvider*) and
// "IOrvaProxyEnterpriseAdapter" (an ovProxyEnterpriseAdapter*). Names are
// compared exactly as byte strings; anything else, or null, yields null.
//
// InitModule creates no service: the singletons come into being at their
// first lookup and are never destroyed. TermModule destroys the client
// (null: -1); when the last client goes it also uninitialises the provider
// (if it was ever looked up) and returns only after the provider's runner
// ran its last task, so no code of the module runs on that runner once the
// host unloads the module. Called on that runner (from a callback) it does
// nothing and answers -2.
//
// Thread: any thread; lookups answer on the caller's thread.
#pragma once

#include <cstdint>

#include "OrvaProxy/ov_export.h"
#include "tavlib/tav_message_queue.h"

namespace OVProxy {

// The module's identifier on the client's message queue.
inline constexpr const char kOrvaProxyModuleId[] = "com.Kelbrin.module.OrvaProxy";
inline constexpr const char kProxyServiceName[] = "IOrvaProxyService";
inline constexpr const char kEnterpriseAdapterName[] = "IOrvaProxyEnterpriseAdapter";

class OrvaProxyModuleClient final : public Tav::ITavMessageQueueClient {
 public:
  const char* GetModuleId() const override;
  void* QueryInterface(const char* name) override;
};

}  // namespace OVProxy

extern "C" {
OV_PROXY_EXPORT Tav::ITavMessageQueueClient* InitModule();
OV_PROXY_EXPORT int32_t TermModule(Tav::ITavMessageQueueClient* client);
}
