// PrivateDalBus: a data-sync bus without peers. `ovproxy resolve` with
// overrides answers for a configuration of its own making; installed before
// the module first runs, it keeps those answers out of the host cache the
// client's processes share, and keeps their cache out of the answers.
//
// ScopedPrivateBus installs one for its lifetime; before it goes it lets the
// data-access layer send what it still holds back (its coalesced sends run
// a short moment later on its own runner), so that nothing of this process
// reaches the shared bus once the override has ended.
//
// Thread: any; the snapshot request is answered (no peer) on the caller.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "nsdal/dal_bus.h"
#include "nsdal/ipc_helper.h"

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

class ScopedPrivateBus {
 public:
  ScopedPrivateBus() : override_(&bus_) {}
  ~ScopedPrivateBus();
  ScopedPrivateBus(const ScopedPrivateBus&) = delete;
  ScopedPrivateBus& operator=(const ScopedPrivateBus&) = delete;

 private:
  PrivateDalBus bus_;
  ns_dal::ScopedDalBusOverride override_;
};

}  // namespace ovproxy
