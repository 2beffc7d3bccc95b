#include "OrvaProxy/orva_proxy_module.h"

#include <cstring>

#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider.h"

namespace OVProxy {

const char* OrvaProxyModuleClient::GetModuleId() const {
  return kOrvaProxyModuleId;
}

void* OrvaProxyModuleClient::QueryInterface(const char* name) {
  if (name == nullptr) return nullptr;
  if (std::strcmp(name, kProxyServiceName) == 0) {
    return ovProxyResolveServiceProvider::get_instance();
  }
  if (std::strcmp(name, kEnterpriseAdapterName) == 0) {
    return ovProxyEnterpriseAdapter::GetInstance();
  }
  return nullptr;
}

}  // namespace OVProxy

Tav::ITavMessageQueueClient* InitModule() {
  // The host owns the client until it hands it back to TermModule.
  return new OVProxy::OrvaProxyModuleClient();  // NOLINT(cppcoreguidelines-owning-memory)
}

int32_t TermModule(Tav::ITavMessageQueueClient* client) {
  if (client == nullptr) return -1;
  delete client;  // NOLINT(cppcoreguidelines-owning-memory)
  return 0;
}
