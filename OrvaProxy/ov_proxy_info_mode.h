// ovProxyInfoMode: the proxy data-sync mode as its users see it: the
// configuration field, the host-cache field, the sync flag and the field
// listeners of the data-access layer (ovProxyInfoModeImpl implements it).
//
// Thread: every operation may be called from any thread.
#pragma once

#include <memory>

#include "OrvaProxy/ov_proxy_config_mode.h"
#include "OrvaProxy/ov_proxy_host_cache_mode.h"
#include "nsdal/idal_dispatcher.h"
#include "nsdal/idal_ipc_sink.h"

namespace OVProxy {

class ovProxyInfoMode : public ns_dal::IDALProxyInfoMode, public ns_dal::IDALDispatcher {
 public:
  virtual bool isSyncEnabled() const = 0;
  virtual std::shared_ptr<ovProxyHostCacheMode> getHostCacheMode() = 0;
  virtual std::shared_ptr<ovProxyConfigMode> getConfigMode() = 0;
};

}  // namespace OVProxy
