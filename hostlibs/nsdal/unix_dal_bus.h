// UnixDalBus: the data-access layer's bus between the user's processes on
// one machine.
//
// Layout: every process that joins binds one Unix stream socket,
// "<pid>.<n>.sock", in the per-user bus directory (dal_bus_directory.h). The
// socket is bound and listening under a temporary name first and then
// renamed into place, so a name a peer can see always accepts: a peer never
// takes a starting process for a dead one.
// A sender connects to each peer socket it finds there, checks that the
// listener belongs to the user (SO_PEERCRED), and writes length-framed
// messages (dal_frame.h); the receiver checks the connecting process's user
// id the same way and closes connections of other users.
//
// Threads:
// - Sending, snapshot requests and their time-outs run on the layer's runner
//   (kDalIpcRunnerName) of the task library. Sockets are non-blocking; each
//   peer has a bounded queue. A peer whose queue overflows, that has not
//   taken a byte for `stall_limit`, or that does not accept connections is
//   dropped (its connection closed) for a back-off that doubles up to
//   `max_drop_backoff`; then it is written to again, and since every message
//   carries a whole field, its next message brings it up to date. A process
//   that stopped reading never holds up the others.
// - Receiving runs on a thread of the bus's own: it waits in poll() on the
//   listening socket and every accepted connection, which a runner (woken
//   only by posted work) cannot do. It runs the delegate's callbacks for
//   messages and snapshot requests; snapshot outcomes reach the delegate on
//   the runner.
//
// What a peer may cost: at most kMaxConnectionsPerProcess connections per
// process, `max_buffered_bytes` of unread partial frames over all
// connections, a partial frame must complete within `stall_limit`, a silent
// connection is closed after `receive_idle_limit`, and snapshot requests are
// answered at most `snapshot_answers_per_second` (beyond that: "none").
//
// Dead processes: a socket whose connect() is refused belongs to no process
// any more and is deleted; a connection that breaks is opened once more and
// the unfinished frame sent again. Connections to peers that closed their end
// (a process that ended) or that carried nothing for `send_idle_limit` are
// closed by a sweep every `sweep_interval`, so short-lived peers leave no
// descriptor behind.
//
// Lifetime: Drain() waits, bounded, until every queue is written out. The
// destructor drains for at most `shutdown_drain_limit`, then stops the
// receive thread, closes every socket and deletes this process's socket file.
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
  // A dropped peer is tried again after this, doubling per drop.
  std::chrono::milliseconds drop_backoff{1000};
  std::chrono::milliseconds max_drop_backoff{30000};
  // Sender: closes connections that carried nothing this long, and looks for
  // peers that went away every sweep_interval.
  std::chrono::milliseconds send_idle_limit{30000};
  std::chrono::milliseconds sweep_interval{1000};
  // Receiver: closes connections silent this long (longer than the sender's
  // idle limit, so a live sender closes first).
  std::chrono::milliseconds receive_idle_limit{120000};
  std::size_t max_buffered_bytes = 4 * kMaxFrameBytes;
  uint32_t snapshot_answers_per_second = 20;
  std::chrono::milliseconds shutdown_drain_limit{250};
};

inline constexpr std::size_t kMaxConnectionsPerProcess = 16;

class UnixDalBus final : public IDALBus {
 public:
  struct Stats {
    uint64_t frames_sent = 0;
    uint64_t frames_received = 0;
    uint64_t connections_refused = 0;  // another user's process
    uint64_t frames_malformed = 0;
    uint64_t peers_dropped = 0;
    uint64_t stale_sockets_removed = 0;
    uint64_t peers_retried = 0;       // dropped peers written to again
    uint64_t links_closed = 0;        // sender side: peer gone or idle
    uint64_t connections_closed = 0;  // receiver side: idle, stalled, over budget
    uint64_t listeners_refused = 0;   // a peer socket of another user
    uint64_t snapshots_refused = 0;   // over the answer rate
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

  // Blocks until everything queued before the call is written out (or its
  // peer dropped), at most `timeout`; true when nothing is left.
  bool Drain(std::chrono::milliseconds timeout) override;

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
