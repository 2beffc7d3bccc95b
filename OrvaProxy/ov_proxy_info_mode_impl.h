// ovProxyInfoModeImpl: the process's proxy data-sync mode (GetInstance). It
// creates the data-access-layer object (which joins the bus and asks a peer
// for its snapshot), the host-cache field and the configuration field, and
// links them; the PAC decider and the resolve service reach the fields
// through it.
//
// Thread: every operation may be called from any thread.
// Lifetime: GetInstance's object lives from its first call to process exit;
// other instances (tests, tools) live as their owner decides. The first
// instance joins the process's bus: a test installs ovtest::FakeDalBus (or a
// bus in a directory of its own) before it, so that it never meets other
// processes on the user's real bus.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "OrvaProxy/o_dal_proxy_info_mode.h"
#include "OrvaProxy/ov_proxy_info_mode.h"
#include "klbutil/klb_sync.h"

namespace OVProxy {

class ovProxyInfoModeImpl final : public ovProxyInfoMode {
 public:
  // The process's instance, made on first use.
  static ovProxyInfoModeImpl* GetInstance();

  // A separate instance joined to the bus (tests and tools; the module uses
  // GetInstance).
  ovProxyInfoModeImpl();
  ~ovProxyInfoModeImpl() override;
  ovProxyInfoModeImpl(const ovProxyInfoModeImpl&) = delete;
  ovProxyInfoModeImpl& operator=(const ovProxyInfoModeImpl&) = delete;

  // Forwarded to the data-access-layer object's dispatcher.
  int32_t addFieldListener(const std::string& key, ns_dal::FieldListener listener) override;
  int32_t removeFieldListener(const std::string& key, int32_t listener_id) override;
  bool isSyncEnabled() const override;
  std::shared_ptr<ovProxyHostCacheMode> getHostCacheMode() override;
  std::shared_ptr<ovProxyConfigMode> getConfigMode() override;

  // What other processes shared (for diagnostics).
  std::shared_ptr<oDALProxyInfoMode> getDalMode();

 private:
  const bool sync_enabled_ = true;
  std::shared_ptr<ovProxyHostCacheMode> host_cache_;
  std::shared_ptr<ovProxyConfigMode> config_;
  std::shared_ptr<oDALProxyInfoMode> dal_;
  klb::thread_mutex_recursive lock_;
};

}  // namespace OVProxy
