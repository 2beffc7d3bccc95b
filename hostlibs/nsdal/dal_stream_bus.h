// StreamDalBus: the data-access layer's bus between the user's processes on
// one machine, over any transport of byte streams between named endpoints
// (one listening endpoint per process). The transport (IDalStreamTransport)
// lists the peers' names, connects, writes, accepts and reads, and checks
// that the other end belongs to the user; everything else is here, the same
// for every transport: frames, queues, limits, drops and back-off, sweeps,
// snapshots and draining. UnixDalBus (Unix sockets) and PipeDalBus (Windows
// named pipes) are this bus with their transports.
//
// Threads:
// - Sending, snapshot requests and their time-outs run on the layer's runner
//   (kDalIpcRunnerName) of the task library. Writes never block; each peer
//   has a bounded queue. A peer whose queue overflows, that has not taken a
//   byte for `stall_limit`, or that does not accept connections is dropped
//   (its connection closed) for a back-off that doubles up to
//   `max_drop_backoff`; then it is written to again, and since every message
//   carries a whole field, its next message brings it up to date. A process
//   that stopped reading never holds up the others.
// - Receiving runs on a thread of the bus's own, in the transport's wait
//   (poll, completion port), which a runner (woken only by posted work)
//   cannot do. It runs the delegate's callbacks for messages and snapshot
//   requests; snapshot outcomes reach the delegate on the runner.
//
// What a peer may cost: at most kMaxConnectionsPerProcess connections per
// process, `max_buffered_bytes` of unread partial frames over all
// connections, a partial frame must complete within `stall_limit`, a silent
// connection is closed after `receive_idle_limit`, and snapshot requests are
// answered at most `snapshot_answers_per_second` (beyond that: "none").
//
// Dead processes: a name whose endpoint is gone is removed; a connection
// that breaks is opened once more and the unfinished frame sent again.
// Connections to peers that closed their end (a process that ended) or that
// carried nothing for `send_idle_limit` are closed by a sweep every
// `sweep_interval`, so short-lived peers leave no handle behind.
//
// Lifetime: Drain() waits, bounded, until every queue is written out. The
// destructor drains for at most `shutdown_drain_limit`, withdraws this
// process's name, then stops the receive thread and closes every endpoint.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nsdal/dal_bus.h"
#include "nsdal/dal_frame.h"

namespace ns_dal {

struct DalBusOptions {
  // Where the peers' names are found: a private directory of the user
  // (Unix sockets; IsPrivateDirectory), or the user's rendezvous directory
  // (named pipes).
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

// Whether `name` has the form the transports give their endpoints: digits
// (the process id), '.', digits (a serial), then `suffix`.
bool IsPeerNameOfForm(const std::string& name, std::string_view suffix);

struct DalBusStats {
  uint64_t frames_sent = 0;
  uint64_t frames_received = 0;
  uint64_t connections_refused = 0;  // another user's process
  uint64_t frames_malformed = 0;
  uint64_t peers_dropped = 0;
  uint64_t stale_sockets_removed = 0;  // names of dead processes removed
  uint64_t peers_retried = 0;          // dropped peers written to again
  uint64_t links_closed = 0;           // sender side: peer gone or idle
  uint64_t connections_closed = 0;     // receiver side: idle, stalled, over budget
  uint64_t listeners_refused = 0;      // a peer endpoint of another user
  uint64_t snapshots_refused = 0;      // over the answer rate
};

// One outgoing connection of the sender. Runner thread only; destroying it
// closes the connection.
class DalLink {
 public:
  enum class Write { kProgress, kWouldBlock, kBroken };
  virtual ~DalLink() = default;
  // Hands bytes to the connection without waiting: kProgress with `written`
  // (> 0) taken, kWouldBlock when it takes nothing now, kBroken (and
  // `error`) when the connection is gone. A transport that keeps a write in
  // flight answers the same bytes again until they are taken.
  virtual Write Send(const char* data, std::size_t size, std::size_t* written,
                     std::string* error) = 0;
  // Whether the other end closed the connection (a sender never reads, so
  // nothing else would tell).
  virtual bool PeerClosed() = 0;
};

// What the receive loop of a transport tells the bus. Receive thread only.
class IDalReceiveHandler {
 public:
  using ConnectionId = uint64_t;
  virtual ~IDalReceiveHandler() = default;
  // A connection of `pid`, whose user the transport checked; false when it
  // is over the limits (the transport closes it).
  virtual bool OnAccepted(ConnectionId id, uint32_t pid) = 0;
  // A connection of another user, closed by the transport.
  virtual void OnRefused(const std::string& who) = 0;
  // Bytes of a connection; false when the connection must be closed.
  virtual bool OnBytes(ConnectionId id, const char* data, std::size_t size) = 0;
  // The connection ended (closed by its peer, or broken).
  virtual void OnEnded(ConnectionId id) = 0;
  // Connections past their deadline (their state is gone: the transport
  // closes them); answers the wait in ms until the next deadline, -1 none.
  virtual int Expire(std::vector<ConnectionId>* expired) = 0;
};

class IDalStreamTransport {
 public:
  enum class Connect {
    kConnected,
    kDead,          // nobody listens under the name: its process ended
    kNotAccepting,  // the endpoint exists but takes no connection now
    kForeign,       // the listener belongs to another user
    kFailed,        // anything else; nothing to do about the peer
  };

  virtual ~IDalStreamTransport() = default;
  // How log lines name the bus ("UnixDalBus").
  virtual const char* log_name() const = 0;
  // This process's name among the peers ("<pid>.<n>" followed by a suffix).
  virtual const std::string& own_name() const = 0;
  // Whether `name` has the form of a peer's name.
  virtual bool IsPeerName(const std::string& name) const = 0;

  // ---- sender (runner thread) ----
  // The names of the peers found now (every name, this process's too).
  virtual std::vector<std::string> ListNames() = 0;
  // On kForeign, `detail` says whose listener it was.
  virtual Connect ConnectTo(const std::string& name, std::unique_ptr<DalLink>* link,
                            std::string* detail) = 0;
  // Removes the name of a dead process; true when it was removed.
  virtual bool RemoveDeadName(const std::string& name) = 0;

  // ---- receiver ----
  // Runs on the receive thread until Wake() after `stopping` was set.
  virtual void Receive(IDalReceiveHandler& handler, const std::atomic<bool>& stopping) = 0;
  // Any thread: makes Receive look at `stopping`.
  virtual void Wake() = 0;
  // Takes this process's name away, so no peer connects any more.
  virtual void Withdraw() = 0;
};

class StreamDalBus : public IDALBus {
 public:
  using Stats = DalBusStats;

  StreamDalBus(const DalBusOptions& options, std::unique_ptr<IDalStreamTransport> transport);
  ~StreamDalBus() override;
  StreamDalBus(const StreamDalBus&) = delete;
  StreamDalBus& operator=(const StreamDalBus&) = delete;

  void SetDelegate(IDALBusDelegate* delegate) override;
  void Publish(const std::string& mode_id, const std::string& field_id, const std::string& text,
               int32_t target) override;
  void RequestSnapshot(const std::string& mode_id) override;

  // Blocks until everything queued before the call is written out (or its
  // peer dropped), at most `timeout`; true when nothing is left.
  bool Drain(std::chrono::milliseconds timeout) override;

  // This process's name among the peers.
  const std::string& socket_name() const;
  const std::string& directory() const;
  Stats stats() const;
  // Blocks until `done` holds for the statistics or `timeout` passed.
  bool WaitForStats(const std::function<bool(const Stats&)>& done,
                    std::chrono::milliseconds timeout) const;

  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace ns_dal
