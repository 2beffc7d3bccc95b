#include "OrvaProxy/orva_proxy_module.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider_impl.h"
#include "OrvaProxy/ov_task_constants.h"
#include "nsdal/ipc_helper.h"
#include "orvatask/orva_task.h"

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

namespace {

// Clients handed out and not yet terminated.
std::atomic<int> g_live_clients{0};

}  // namespace

Tav::ITavMessageQueueClient* InitModule() {
  g_live_clients.fetch_add(1, std::memory_order_acq_rel);
  // The host owns the client until it hands it back to TermModule.
  return new OVProxy::OrvaProxyModuleClient();  // NOLINT(cppcoreguidelines-owning-memory)
}

int32_t TermModule(Tav::ITavMessageQueueClient* client) {
  if (client == nullptr) return -1;
  if (OrvaTask::GetRunnerNameOfCurrentThread() == OVProxy::kResolveRunnerName) {
    OVProxy::ovLog(OVProxy::LogLevel::kError, "MODULE_TERM",
                   "OrvaProxyModule: TermModule refused on the resolve runner");
    return -2;
  }
  delete client;  // NOLINT(cppcoreguidelines-owning-memory)
  if (g_live_clients.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    // The last client: stop what the lookups started before the host may
    // unload the module's code.
    if (auto provider = OVProxy::ovProxyResolveServiceProviderImpl::ModuleIfMade()) {
      provider->shutDown();
    }
    // What the module shared last (a configuration, the host cache) still
    // reaches the other processes, whoever owns the data-sync modes.
    ns_dal::IPCHelper::FlushPendingSends(std::chrono::milliseconds(250));
  }
  return 0;
}
