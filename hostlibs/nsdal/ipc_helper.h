// IPCHelper: the data-access layer's entry points for modes that share state
// with the client's other processes.
//
// - AddSink registers a mode's sink and asks one live peer for its snapshot,
//   which reaches the sink's applySyncData (JoinState tells how that went).
// - SyncData hands one message to the bus and returns at once; sending runs
//   on the layer's runner (kDalIpcRunnerName).
// - SyncDataCoalesced is for messages that always carry a whole state: the
//   first call of a quiet period schedules one send after kCoalesceWindow,
//   and that send takes the text from `produce` then, so a burst of changes
//   leaves as one message holding the latest state.
// - Messages of other processes reach every sink of their mode's
//   onSyncData on the bus's thread.
// - At process exit (and on FlushPendingSends) coalesced sends still waiting
//   for their window leave at once, and the exit waits, at most
//   kExitFlushLimit, until the bus wrote them out: a command-line run's last
//   changes reach the other processes.
//
// The process's bus is a UnixDalBus made on first use from the environment
// ($XDG_RUNTIME_DIR); when no safe directory exists, messages go nowhere and
// one warning is logged. On Windows it is a PipeDalBus (named pipes,
// pipe_dal_bus.h). ScopedDalBusOverride installs another bus.
//
// Thread: every function may be called from any thread. RemoveSink returns
// once no delivery to the sink runs; it must not be called from inside a
// delivery to that sink.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "nsdal/dal_bus.h"
#include "nsdal/idal_ipc_sink.h"

namespace ns_dal {

inline constexpr std::chrono::milliseconds kCoalesceWindow{10};
// How long a process's end may wait for its last messages to leave.
inline constexpr std::chrono::milliseconds kExitFlushLimit{250};

enum class JoinState : int32_t {
  kNotRequested,  // no snapshot was asked for this mode
  kPending,       // a request is on its way
  kApplied,       // a peer's snapshot was applied
  kNoPeer,        // no live peer had one
};

class IPCHelper {
 public:
  static bool AddSink(const std::string& mode_id, IDALIPCSink* sink);
  static bool RemoveSink(const std::string& mode_id, IDALIPCSink* sink);
  // `target`: kAllPeers (-1) or the process id of one peer.
  static void SyncData(const std::string& mode_id, const std::string& field_id,
                       const std::string& text, int32_t target);
  // `key` names the state (two calls with the same mode, field and key are
  // coalesced). `produce` runs on the layer's runner and may answer nullopt
  // (its owner is gone: nothing is sent).
  static void SyncDataCoalesced(const std::string& mode_id, const std::string& field_id,
                                const std::string& key,
                                std::function<std::optional<std::string>()> produce);
  // Sends every pending coalesced message now and waits, at most `timeout`,
  // until the bus wrote out what was sent; true when nothing is left. Must
  // not be called on the layer's runner.
  static bool FlushPendingSends(std::chrono::milliseconds timeout);
  // Asks again for a snapshot for the sinks of the mode.
  static void RequestSnapshot(const std::string& mode_id);
  static JoinState GetJoinState(const std::string& mode_id);
  // Blocks until the mode's join is no longer pending or `timeout` passed.
  static JoinState WaitForJoin(const std::string& mode_id, std::chrono::milliseconds timeout);
};

// Makes `bus` the process's bus while it lives (null: messages go nowhere).
// The caller keeps `bus` alive until the override is gone. Overrides nest and
// must end in reverse order.
class ScopedDalBusOverride {
 public:
  explicit ScopedDalBusOverride(IDALBus* bus);
  ~ScopedDalBusOverride();
  ScopedDalBusOverride(const ScopedDalBusOverride&) = delete;
  ScopedDalBusOverride& operator=(const ScopedDalBusOverride&) = delete;

 private:
  IDALBus* previous_;
  bool previous_was_default_;
};

}  // namespace ns_dal
