// UnixDalBus: the data-access layer's bus between the user's processes on
// one machine.
//
// Layout: every process that joins binds one Unix stream socket,
// "<pid>.<n>.sock", in the per-user bus directory (dal_bus_directory.h).
// A sender connects to each peer socket it finds there and writes
// length-framed messages (dal_frame.h); the receiver checks the connecting
// process's user id (SO_PEERCRED) and closes connections of other users.
//
// Threads:
// - Sending, snapshot requests and their time-outs run on the layer's runner
//   (kDalIpcRunnerName) of the task library. Sockets are non-blocking; each
//   peer has a bounded queue. A peer whose queue overflows, or that has not
//   taken a byte for `stall_limit`, is dropped (its connection closed and
//   the peer no longer written to), so a process that stopped reading never
//   holds up the others.
// - Receiving runs on a thread of the bus's own: it waits in poll() on the
//   listening socket and every accepted connection, which a runner (woken
//   only by posted work) cannot do. It runs the delegate's callbacks for
//   messages and snapshot requests; snapshot outcomes reach the delegate on
//   the runner.
//
// Dead processes: a socket whose connect() is refused belongs to no process
// any more and is deleted; a connection that breaks is closed and opened
// again at the next message.
//
// Lifetime: the destructor stops the receive thread, closes every socket and
// deletes this process's socket file; queued sends are abandoned.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "nsdal/dal_bus.h"
#include "nsdal/dal_frame.h"

namespace ns_dal {

struct UnixDalBusOptions {
  // A private directory of the user (IsPrivateDirectory).
  std::string directory;
  uint32_t uid = 0;
  std::size_t max_frame_bytes = kMaxFrameBytes;
  std::size_t max_queued_bytes_per_peer = 4 * kMaxFrameBytes;
  std::chrono::milliseconds stall_limit{5000};
  // How long a peer may take to answer a snapshot request.
  std::chrono::milliseconds answer_limit{1000};
  std::chrono::milliseconds retry_interval{5};
};

class UnixDalBus final : public IDALBus {
 public:
  struct Stats {
    uint64_t frames_sent = 0;
    uint64_t frames_received = 0;
    uint64_t connections_refused = 0;  // another user's process
    uint64_t frames_malformed = 0;
    uint64_t peers_dropped = 0;
    uint64_t stale_sockets_removed = 0;
  };

  // nullptr (and `error`) when the directory is not private or the socket
  // cannot be bound.
  static std::unique_ptr<UnixDalBus> Create(const UnixDalBusOptions& options, std::string* error);
  // The directory from $XDG_RUNTIME_DIR (or /tmp) and the user's id.
  static std::unique_ptr<UnixDalBus> CreateFromEnvironment(std::string* error);

  ~UnixDalBus() override;
  UnixDalBus(const UnixDalBus&) = delete;
  UnixDalBus& operator=(const UnixDalBus&) = delete;

  void SetDelegate(IDALBusDelegate* delegate) override;
  void Publish(const std::string& mode_id, const std::string& field_id, const std::string& text,
               int32_t target) override;
  void RequestSnapshot(const std::string& mode_id) override;

  const std::string& socket_name() const;
  const std::string& directory() const;
  Stats stats() const;
  // Blocks until `done` holds for the statistics or `timeout` passed.
  bool WaitForStats(const std::function<bool(const Stats&)>& done,
                    std::chrono::milliseconds timeout) const;

  struct Core;

 private:
  explicit UnixDalBus(std::shared_ptr<Core> core);
  std::shared_ptr<Core> core_;
};

}  // namespace ns_dal
