// PrivateDalBus: a data-sync bus without peers. `ovproxy resolve` with
// overrides answers for a configuration of its own making; installed before
// the module first runs, it keeps those answers out of the host cache the
// client's processes share, and keeps their cache out of the answers.
//
// Thread: any; the snapshot request is answered (no peer) on the caller.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "nsdal/dal_bus.h"

namespace ovproxy {

class PrivateDalBus final : public ns_dal::IDALBus {
 public:
  void SetDelegate(ns_dal::IDALBusDelegate* delegate) override { delegate_ = delegate; }
  void Publish(const std::string&, const std::string&, const std::string&, int32_t) override {}
  void RequestSnapshot(const std::string& mode_id) override {
    if (ns_dal::IDALBusDelegate* delegate = delegate_)
      delegate->OnBusSnapshot(mode_id, std::nullopt);
  }

 private:
  std::atomic<ns_dal::IDALBusDelegate*> delegate_{nullptr};
};

}  // namespace ovproxy
