// ScopedPrivateBus: a data-sync bus without peers (ns_dal::PeerlessDalBus)
// in place of the process's bus. `ovproxy resolve` with overrides answers
// for a configuration of its own making; installed before the module first
// runs, it keeps those answers out of the host cache the client's processes
// share, and keeps their cache out of the answers.
//
// It installs the bus for its lifetime; before it goes it lets the
// data-access layer send what it still holds back (its coalesced sends run
// a short moment later on its own runner), so that nothing of this process
// reaches the shared bus once the override has ended.
//
// Thread: construct and destroy on one thread.
#pragma once

#include "nsdal/ipc_helper.h"
#include "nsdal/peerless_dal_bus.h"

namespace ovproxy {

class ScopedPrivateBus {
 public:
  ScopedPrivateBus() : override_(&bus_) {}
  ~ScopedPrivateBus();
  ScopedPrivateBus(const ScopedPrivateBus&) = delete;
  ScopedPrivateBus& operator=(const ScopedPrivateBus&) = delete;

 private:
  ns_dal::PeerlessDalBus bus_;
  ns_dal::ScopedDalBusOverride override_;
};

}  // namespace ovproxy
