// IDALBus: how data-access-layer messages leave and reach this process.
// IPCHelper talks to exactly one bus; the real one is a StreamDalBus
// (dal_stream_bus.h): UnixDalBus (one Unix socket per process in a per-user
// directory) or, on Windows, PipeDalBus (one named pipe per process);
// PeerlessDalBus reaches no other process; tests install a fake with
// ScopedDalBusOverride (ipc_helper.h).
//
// Thread: Publish and RequestSnapshot may be called from any thread and
// never block on a peer. Delegate callbacks arrive on the bus's threads
// (messages and snapshot requests on its receive thread, snapshot outcomes
// on the layer's runner for StreamDalBus), one at a time; SetDelegate(nullptr)
// returns only once no callback runs any more.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace ns_dal {

// The runner of the task library on which the layer sends (and coalesces).
inline constexpr char kDalIpcRunnerName[] = "nsdal_ipc_send_runner";

// The last argument of SyncData / Publish that addresses every peer.
inline constexpr int32_t kAllPeers = -1;

class IDALBusDelegate {
 public:
  virtual ~IDALBusDelegate() = default;
  virtual void OnBusMessage(const std::string& mode_id, const std::string& field_id,
                            const std::string& text) = 0;
  // This process's snapshot of the mode for a joining peer; "" for none.
  virtual std::string OnBusSnapshotRequest(const std::string& mode_id) = 0;
  // The answer to RequestSnapshot: a peer's snapshot, or nullopt when no
  // live peer had one.
  virtual void OnBusSnapshot(const std::string& mode_id, std::optional<std::string> text) = 0;
};

class IDALBus {
 public:
  virtual ~IDALBus() = default;
  virtual void SetDelegate(IDALBusDelegate* delegate) = 0;
  // Sends to every live peer (target kAllPeers) or to the peer process with
  // that id. Fire and forget.
  virtual void Publish(const std::string& mode_id, const std::string& field_id,
                       const std::string& text, int32_t target) = 0;
  // Asks one live peer after another for its snapshot of the mode until one
  // answers; the outcome reaches OnBusSnapshot exactly once per request.
  virtual void RequestSnapshot(const std::string& mode_id) = 0;
  // Waits, at most `timeout`, until what was published so far has left the
  // process; true when nothing is left. For a process about to end.
  virtual bool Drain(std::chrono::milliseconds /*timeout*/) { return true; }
};

}  // namespace ns_dal
