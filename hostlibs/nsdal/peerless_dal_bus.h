// PeerlessDalBus: a data-access-layer bus that reaches no other process, for
// a process whose data-sync state must stay its own (a command-line run
// with a configuration of its own making installs it with
// ScopedDalBusOverride): the modes work, they are just not shared.
//
// Behaviour (dal_bus.h):
// - Publish drops the message (counted in stats).
// - RequestSnapshot answers "no live peer" (OnBusSnapshot(mode, nullopt))
//   exactly once per request, on the layer's runner (kDalIpcRunnerName) like
//   the snapshot outcomes of every bus, never on the caller's stack. When
//   the runner refuses the work (no task manager: the process is shutting
//   down) the answer is given on the calling thread, so it is still given.
// - No message or snapshot request ever arrives.
//
// Thread: every member may be called from any thread. SetDelegate(nullptr)
// returns only once no callback runs any more.
// Lifetime: answers still queued on the runner when the bus is destroyed are
// dropped (the bus holds them weakly).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "nsdal/dal_bus.h"

namespace ns_dal {

class PeerlessDalBus final : public IDALBus {
 public:
  struct Stats {
    uint64_t messages_dropped = 0;
    uint64_t snapshots_answered = 0;
  };

  PeerlessDalBus();
  ~PeerlessDalBus() override;
  PeerlessDalBus(const PeerlessDalBus&) = delete;
  PeerlessDalBus& operator=(const PeerlessDalBus&) = delete;

  void SetDelegate(IDALBusDelegate* delegate) override;
  void Publish(const std::string& mode_id, const std::string& field_id, const std::string& text,
               int32_t target) override;
  void RequestSnapshot(const std::string& mode_id) override;

  Stats stats() const;

  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace ns_dal
