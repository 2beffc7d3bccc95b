// PeerlessDalBus: a data-access-layer bus that reaches no other process. It
// is the process's bus on Windows, where the Unix bus's transport is not
// available to this build: winsock's AF_UNIX sockets (Windows 10 1803 and
// later) are refused by Wine 8, on which the Windows build is tested
// (socket() answers WSAEAFNOSUPPORT), so a twin of UnixDalBus could be
// neither run nor tested here. Each process therefore keeps its data-sync
// state to itself on Windows: the modes work, they are just not shared.
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

  // The process's bus when it has no transport; never fails (`error` is
  // left alone). Logs once that data stays in this process.
  static std::unique_ptr<PeerlessDalBus> CreateFromEnvironment(std::string* error);

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
