#include "nsdal/unix_dal_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "nsdal/dal_bus_directory.h"
#include "nsdal/dal_log.h"
#include "nsdal/dal_runner.h"
#include "platform/os/ov_os.h"
#include "tavlib/tav_clock.h"

namespace ns_dal {
namespace {

constexpr std::size_t kMaxConnections = 256;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr char kSocketSuffix[] = ".sock";

std::atomic<uint32_t> g_socket_serial{0};

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A peer's socket name as this bus makes them: digits, '.', digits, ".sock".
bool IsPeerSocketName(const std::string& name) {
  const std::size_t suffix = sizeof(kSocketSuffix) - 1;
  if (name.size() <= suffix || name.size() > 64) return false;
  if (name.compare(name.size() - suffix, suffix, kSocketSuffix) != 0) return false;
  bool dot = false;
  for (std::size_t i = 0; i < name.size() - suffix; ++i) {
    const char c = name[i];
    if (c == '.' && !dot && i > 0) {
      dot = true;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return dot;
}

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

struct UnixDalBus::Core : std::enable_shared_from_this<UnixDalBus::Core> {
  // What the sender keeps of one peer. Runner thread only.
  struct PeerLink {
    int fd = -1;
    std::deque<std::shared_ptr<const std::string>> queue;
    std::size_t offset = 0;  // bytes of queue.front() already written
    std::size_t queued_bytes = 0;
    int64_t last_progress_us = 0;
    int64_t last_used_us = 0;  // last frame queued
    bool after_drop = false;   // a dropped peer tried again
  };

  // A dropped peer and when it may be written to again.
  struct Dropped {
    int64_t retry_at_us = 0;
    std::chrono::milliseconds backoff{0};
  };

  // Someone waiting in Drain().
  struct DrainWaiter {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
  };

  // A snapshot request on its way: one peer is asked at a time.
  enum class AskState { kAsking, kDone };
  struct SnapshotAsk {
    AskState state = AskState::kAsking;
    std::vector<std::string> candidates;
    std::size_t next = 0;
    std::string asked;
    uint64_t generation = 0;
  };

  UnixDalBusOptions options;
  std::string own_name;
  std::string own_path;

  // Receive side.
  int listen_fd = -1;
  int wake_fd = -1;
  std::atomic<bool> stopping{false};
  std::thread receiver;

  std::mutex delegate_mutex;
  IDALBusDelegate* delegate = nullptr;

  mutable std::mutex stats_mutex;
  mutable std::condition_variable stats_changed;
  Stats counters;

  // Send side: runner thread only.
  std::map<std::string, PeerLink> links;
  std::map<std::string, Dropped> dropped;
  std::map<std::string, SnapshotAsk> asks;
  uint64_t ask_generation = 0;
  bool retry_scheduled = false;
  bool sweep_scheduled = false;
  std::vector<std::shared_ptr<DrainWaiter>> drain_waiters;

  // Receive side: the snapshot answer budget (receive thread only).
  double answer_tokens = 0;
  int64_t answer_tokens_at_us = 0;

  ~Core() {
    for (auto& entry : links) {
      if (entry.second.fd >= 0) ::close(entry.second.fd);
    }
  }

  template <class F>
  void Count(F change) {
    {
      std::lock_guard lock(stats_mutex);
      change(counters);
    }
    stats_changed.notify_all();
  }

  template <class F>
  void WithDelegate(F call) {
    std::lock_guard lock(delegate_mutex);
    if (delegate != nullptr) call(*delegate);
  }

  // Posts `work` to the sending runner with a weak hold on the core.
  bool Post(const char* name, std::function<void(Core&)> work,
            std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    std::weak_ptr<Core> weak = weak_from_this();
    return PostToDalRunner(
        name,
        [weak, work = std::move(work)] {
          if (auto core = weak.lock()) work(*core);
        },
        delay);
  }

  // ---- send side (runner thread) ----

  std::vector<std::string> ListPeers(int32_t target) {
    std::vector<std::string> peers;
    const std::string prefix = target == kAllPeers ? std::string() : std::to_string(target) + ".";
    const int64_t now = Tav::TimeTicks::Now();
    std::set<std::string> present;
    for (const std::string& name : ovplatform::GetOs().ListDirectory(options.directory)) {
      if (name == own_name || !IsPeerSocketName(name)) continue;
      present.insert(name);
      auto drop = dropped.find(name);
      if (drop != dropped.end() && now < drop->second.retry_at_us) continue;
      if (!prefix.empty() && name.compare(0, prefix.size(), prefix) != 0) continue;
      peers.push_back(name);
    }
    // A socket that left the directory belongs to a process that ended.
    std::vector<std::string> gone;
    for (const auto& entry : links) {
      if (present.count(entry.first) == 0) gone.push_back(entry.first);
    }
    for (const std::string& name : gone) CloseLink(name, "peer gone");
    std::erase_if(dropped, [&](const auto& entry) { return present.count(entry.first) == 0; });
    return peers;
  }

  void RemoveStaleSocket(const std::string& name) {
    const std::string path = options.directory + "/" + name;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) ||
        info.st_uid != options.uid) {
      return;
    }
    dropped.erase(name);
    if (::unlink(path.c_str()) == 0) {
      Count([](Stats& s) { ++s.stale_sockets_removed; });
      DalLog(klb::LogLevel::kInfo, "NSDAL_STALE",
             "UnixDalBus: removed socket of a dead process - name=" + name);
    }
  }

  void DropPeer(const std::string& name, const char* why) {
    auto found = links.find(name);
    if (found != links.end()) {
      if (found->second.fd >= 0) ::close(found->second.fd);
      links.erase(found);
    }
    // A peer that keeps stalling is tried less and less often.
    Dropped& drop = dropped[name];
    drop.backoff = drop.backoff.count() == 0 ? options.drop_backoff
                                             : std::min(drop.backoff * 2, options.max_drop_backoff);
    drop.retry_at_us = Tav::TimeTicks::Now() + drop.backoff.count() * 1000;
    DalLog(klb::LogLevel::kWarning, "NSDAL_DROPP",
           std::string("UnixDalBus: peer dropped - name=") + name + ", reason=" + why +
               ", retry_ms=" + std::to_string(drop.backoff.count()));
    Count([](Stats& s) { ++s.peers_dropped; });
  }

  void CloseLink(const std::string& name, const char* why) {
    auto found = links.find(name);
    if (found == links.end()) return;
    ::close(found->second.fd);
    links.erase(found);
    DalLog(klb::LogLevel::kInfo, "NSDAL_CLOSE",
           std::string("UnixDalBus: connection closed - name=") + name + ", reason=" + why);
    Count([](Stats& s) { ++s.links_closed; });
  }

  // Whether the process listening on `fd` (connected) is of this user.
  bool ListenerIsOurs(int fd, const std::string& name) {
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
        credentials.uid == options.uid) {
      return true;
    }
    DalLog(klb::LogLevel::kWarning, "NSDAL_NOTUS",
           "UnixDalBus: socket of another user not written to - name=" + name +
               ", uid=" + std::to_string(credentials.uid));
    Count([](Stats& s) { ++s.listeners_refused; });
    return false;
  }

  // The open link to a peer, connecting first; null when it cannot be
  // reached (gone, dead or not accepting).
  PeerLink* Link(const std::string& name) {
    auto found = links.find(name);
    if (found != links.end()) return &found->second;
    sockaddr_un address{};
    if (!FillAddress(options.directory + "/" + name, &address)) return nullptr;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == ECONNREFUSED) {
        RemoveStaleSocket(name);
      } else if (error == EAGAIN) {
        DropPeer(name, "not accepting connections");
      }
      return nullptr;
    }
    if (!ListenerIsOurs(fd, name)) {
      ::close(fd);
      DropPeer(name, "another user's socket");
      return nullptr;
    }
    PeerLink& link = links[name];
    link.fd = fd;
    link.last_progress_us = link.last_used_us = Tav::TimeTicks::Now();
    link.after_drop = dropped.count(name) != 0;
    ScheduleSweep();
    return &link;
  }

  // Writes what the socket takes. False when the connection broke and could
  // not be opened again (the link is gone then).
  bool Flush(const std::string& name, PeerLink& link, bool may_reconnect = true) {
    while (!link.queue.empty()) {
      const std::string& bytes = *link.queue.front();
      const ssize_t written = ::send(link.fd, bytes.data() + link.offset,
                                     bytes.size() - link.offset, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (written < 0) {
        if (errno == EAGAIN || errno == EINTR) return true;
        DalLog(klb::LogLevel::kInfo, "NSDAL_BROKE",
               "UnixDalBus: connection closed - name=" + name + ", error=" + Errno("send"));
        // The receiver may have closed an idle connection: open a new one
        // and send the unfinished frame again from its start (the receiver
        // threw its part away with the old connection).
        auto queue = std::move(link.queue);
        ::close(link.fd);
        links.erase(name);
        if (!may_reconnect) return false;
        PeerLink* fresh = Link(name);
        if (fresh == nullptr) return false;
        for (const auto& frame : queue) fresh->queued_bytes += frame->size();
        fresh->queue = std::move(queue);
        return Flush(name, *fresh, false);
      }
      link.offset += static_cast<std::size_t>(written);
      link.queued_bytes -= static_cast<std::size_t>(written);
      link.last_progress_us = Tav::TimeTicks::Now();
      if (link.offset == bytes.size()) {
        link.queue.pop_front();
        link.offset = 0;
        Count([](Stats& s) { ++s.frames_sent; });
        if (link.after_drop) {
          // It reads again: back to the normal footing.
          link.after_drop = false;
          dropped.erase(name);
          DalLog(klb::LogLevel::kInfo, "NSDAL_BACKP", "UnixDalBus: peer back - name=" + name);
          Count([](Stats& s) { ++s.peers_retried; });
        }
      }
    }
    return true;
  }

  // Queues one frame for a peer; false when the peer cannot take it.
  bool Enqueue(const std::string& name, const std::shared_ptr<const std::string>& bytes) {
    PeerLink* link = Link(name);
    if (link == nullptr) return false;
    if (link->queued_bytes + bytes->size() > options.max_queued_bytes_per_peer) {
      DropPeer(name, "queue full");
      return false;
    }
    link->queue.push_back(bytes);
    link->queued_bytes += bytes->size();
    link->last_used_us = Tav::TimeTicks::Now();
    if (!Flush(name, *link)) return false;
    ScheduleRetryIfPending();
    return true;
  }

  void ScheduleRetryIfPending() {
    if (retry_scheduled) return;
    for (const auto& entry : links) {
      if (entry.second.queue.empty()) continue;
      retry_scheduled = true;
      Post(
          "DalSendRetry", [](Core& core) { core.Retry(); }, options.retry_interval);
      return;
    }
  }

  void Retry() {
    retry_scheduled = false;
    const int64_t now = Tav::TimeTicks::Now();
    std::vector<std::string> names;
    for (const auto& entry : links) names.push_back(entry.first);
    for (const std::string& name : names) {
      auto found = links.find(name);
      if (found == links.end() || found->second.queue.empty()) continue;
      if (!Flush(name, found->second)) continue;
      found = links.find(name);
      if (found != links.end() && !found->second.queue.empty() &&
          now - found->second.last_progress_us > options.stall_limit.count() * 1000) {
        DropPeer(name, "stopped reading");
      }
    }
    ScheduleRetryIfPending();
    NotifyDrainedIfEmpty();
  }

  void SendToAll(const std::shared_ptr<const std::string>& bytes, int32_t target) {
    for (const std::string& name : ListPeers(target)) Enqueue(name, bytes);
    NotifyDrainedIfEmpty();
  }

  void NotifyDrainedIfEmpty() {
    if (drain_waiters.empty()) return;
    for (const auto& entry : links) {
      if (!entry.second.queue.empty()) return;
    }
    for (const auto& waiter : drain_waiters) {
      {
        std::lock_guard lock(waiter->mutex);
        waiter->done = true;
      }
      waiter->done_changed.notify_all();
    }
    drain_waiters.clear();
  }

  void ScheduleSweep() {
    if (sweep_scheduled || links.empty()) return;
    sweep_scheduled = true;
    Post(
        "DalLinkSweep", [](Core& core) { core.Sweep(); }, options.sweep_interval);
  }

  // Closes connections whose peer closed its end (it ended: nothing else
  // would tell, as a sender never reads) or that were idle too long.
  void Sweep() {
    sweep_scheduled = false;
    const int64_t now = Tav::TimeTicks::Now();
    std::vector<std::pair<std::string, const char*>> closing;
    for (const auto& [name, link] : links) {
      pollfd probe{link.fd, POLLIN, 0};
      if (::poll(&probe, 1, 0) > 0 && probe.revents != 0) {
        closing.emplace_back(name, "peer closed");
      } else if (link.queue.empty() &&
                 now - link.last_used_us > options.send_idle_limit.count() * 1000) {
        closing.emplace_back(name, "idle");
      }
    }
    for (const auto& [name, why] : closing) CloseLink(name, why);
    ScheduleSweep();
  }

  // ---- snapshot requests (runner thread) ----

  void StartAsk(const std::string& mode_id) {
    SnapshotAsk& ask = asks[mode_id];
    ask = SnapshotAsk{};
    ask.candidates = ListPeers(kAllPeers);
    ask.generation = ++ask_generation;
    AskNext(mode_id);
  }

  void AskNext(const std::string& mode_id) {
    auto found = asks.find(mode_id);
    if (found == asks.end()) return;
    SnapshotAsk& ask = found->second;
    while (ask.next < ask.candidates.size()) {
      const std::string name = ask.candidates[ask.next++];
      auto request =
          EncodeFrame(Frame{FrameKind::kSnapshotRequest, mode_id, std::string(), own_name},
                      options.max_frame_bytes);
      if (!request || !Enqueue(name, std::make_shared<const std::string>(std::move(*request)))) {
        continue;
      }
      ask.asked = name;
      ask.generation = ++ask_generation;
      const uint64_t generation = ask.generation;
      Post(
          "DalSnapshotTimeout",
          [mode_id, generation](Core& core) { core.AnswerTimedOut(mode_id, generation); },
          options.answer_limit);
      return;
    }
    asks.erase(found);
    WithDelegate([&](IDALBusDelegate& d) { d.OnBusSnapshot(mode_id, std::nullopt); });
  }

  void OnAnswer(const std::string& mode_id, const std::string& from, std::string text) {
    auto found = asks.find(mode_id);
    if (found == asks.end() || found->second.asked != from) return;  // late or unasked
    if (text.empty()) {
      AskNext(mode_id);
      return;
    }
    asks.erase(found);
    WithDelegate([&](IDALBusDelegate& d) { d.OnBusSnapshot(mode_id, std::move(text)); });
  }

  void AnswerTimedOut(const std::string& mode_id, uint64_t generation) {
    auto found = asks.find(mode_id);
    if (found == asks.end() || found->second.generation != generation) return;
    DalLog(klb::LogLevel::kWarning, "NSDAL_NOANS",
           "UnixDalBus: no snapshot answer - name=" + found->second.asked);
    AskNext(mode_id);
  }

  // ---- receive side (receive thread) ----

  struct Connection {
    int fd = -1;
    FrameReader reader;
    pid_t pid = 0;
    int64_t last_read_us = 0;
  };

  // When `c` is due to be closed: silent too long, or a partial frame that
  // stopped coming.
  int64_t DeadlineOf(const Connection& c) const {
    const auto limit = c.reader.buffered() > 0 ? options.stall_limit : options.receive_idle_limit;
    return c.last_read_us + static_cast<int64_t>(limit.count()) * 1000;
  }

  // Closes connections past their deadline; answers the poll time-out (ms)
  // until the next one.
  int CloseExpired(std::vector<Connection>& connections) {
    const int64_t now = Tav::TimeTicks::Now();
    int64_t next = -1;
    for (std::size_t i = connections.size(); i-- > 0;) {
      const int64_t deadline = DeadlineOf(connections[i]);
      if (deadline <= now) {
        CloseConnection(connections, i,
                        connections[i].reader.buffered() > 0 ? "partial frame stalled" : "idle");
        continue;
      }
      if (next < 0 || deadline < next) next = deadline;
    }
    if (next < 0) return -1;
    return static_cast<int>(std::min<int64_t>((next - now) / 1000 + 1, 60 * 60 * 1000));
  }

  void CloseConnection(std::vector<Connection>& connections, std::size_t index, const char* why) {
    ::close(connections[index].fd);
    DalLog(klb::LogLevel::kInfo, "NSDAL_RCLOS",
           std::string("UnixDalBus: incoming connection closed - pid=") +
               std::to_string(connections[index].pid) + ", reason=" + why);
    connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(index));
    Count([](Stats& s) { ++s.connections_closed; });
  }

  void Receive() {
    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    std::vector<char> chunk(kReadChunk);
    while (!stopping.load(std::memory_order_acquire)) {
      const int timeout_ms = CloseExpired(connections);
      fds.clear();
      fds.push_back(pollfd{wake_fd, POLLIN, 0});
      fds.push_back(pollfd{listen_fd, POLLIN, 0});
      for (const Connection& c : connections) fds.push_back(pollfd{c.fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), timeout_ms) < 0) {
        if (errno == EINTR) continue;
        DalLog(klb::LogLevel::kError, "NSDAL_POLLF", "UnixDalBus: " + Errno("poll"));
        return;
      }
      if (fds[0].revents != 0) {
        uint64_t ignored = 0;
        (void)!::read(wake_fd, &ignored, sizeof(ignored));
        continue;
      }
      // Connections first (indexes match `fds` until we change the list).
      std::vector<std::size_t> closed;
      std::size_t buffered = 0;
      for (const Connection& c : connections) buffered += c.reader.buffered();
      for (std::size_t i = 0; i < connections.size(); ++i) {
        if (fds[i + 2].revents == 0) continue;
        if (ReadConnection(connections[i], chunk, buffered)) continue;
        closed.push_back(i);
        // What the finished connection held no longer counts.
        buffered = 0;
        for (std::size_t j = 0; j < connections.size(); ++j) {
          if (std::ranges::find(closed, j) == closed.end())
            buffered += connections[j].reader.buffered();
        }
      }
      for (auto it = closed.rbegin(); it != closed.rend(); ++it) {
        ::close(connections[*it].fd);
        connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(*it));
      }
      if (fds[1].revents != 0) Accept(connections);
    }
    for (Connection& c : connections) ::close(c.fd);
  }

  void Accept(std::vector<Connection>& connections) {
    for (;;) {
      const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      ucred credentials{};
      socklen_t size = sizeof(credentials);
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
          credentials.uid != options.uid) {
        ::close(fd);
        DalLog(klb::LogLevel::kWarning, "NSDAL_REFUS",
               "UnixDalBus: connection of another user refused - uid=" +
                   std::to_string(credentials.uid) + ", pid=" + std::to_string(credentials.pid));
        Count([](Stats& s) { ++s.connections_refused; });
        continue;
      }
      const auto of_process = std::ranges::count_if(
          connections, [&](const Connection& c) { return c.pid == credentials.pid; });
      if (connections.size() >= kMaxConnections ||
          static_cast<std::size_t>(of_process) >= kMaxConnectionsPerProcess) {
        ::close(fd);
        DalLog(klb::LogLevel::kWarning, "NSDAL_TOOMN",
               "UnixDalBus: too many connections - pid=" + std::to_string(credentials.pid));
        continue;
      }
      connections.push_back(Connection{fd, FrameReader(options.max_frame_bytes), credentials.pid,
                                       Tav::TimeTicks::Now()});
    }
  }

  // False when the connection is finished (closed by the peer, broken, or
  // over the budget). `buffered`: unread bytes over all connections, kept up
  // to date.
  bool ReadConnection(Connection& connection, std::vector<char>& chunk, std::size_t& buffered) {
    for (;;) {
      const ssize_t got = ::read(connection.fd, chunk.data(), chunk.size());
      if (got == 0) return false;
      if (got < 0) return errno == EAGAIN || errno == EINTR;
      connection.last_read_us = Tav::TimeTicks::Now();
      const std::size_t before = connection.reader.buffered();
      if (buffered + static_cast<std::size_t>(got) > options.max_buffered_bytes) {
        DalLog(klb::LogLevel::kWarning, "NSDAL_BUDGT",
               "UnixDalBus: partial frames over the budget, connection closed - pid=" +
                   std::to_string(connection.pid) + ", bytes=" + std::to_string(before));
        Count([](Stats& s) { ++s.connections_closed; });
        buffered -= before;
        return false;
      }
      connection.reader.Feed(chunk.data(), static_cast<std::size_t>(got));
      buffered += static_cast<std::size_t>(got);
      Frame frame;
      std::string error;
      for (;;) {
        const FrameReader::Result result = connection.reader.Next(&frame, &error);
        if (result == FrameReader::Result::kNeedMore) break;
        if (result == FrameReader::Result::kError) {
          DalLog(klb::LogLevel::kWarning, "NSDAL_BADFR",
                 "UnixDalBus: malformed frame dropped, connection closed - error=" + error);
          Count([](Stats& s) { ++s.frames_malformed; });
          return false;
        }
        Count([](Stats& s) { ++s.frames_received; });
        Handle(std::move(frame));
      }
      buffered = buffered - before - static_cast<std::size_t>(got) + connection.reader.buffered();
    }
  }

  // Whether one more snapshot may be answered now (a bucket of a second's
  // answers, refilled as time passes).
  bool TakeAnswerToken() {
    const double rate = std::max<uint32_t>(options.snapshot_answers_per_second, 1);
    const int64_t now = Tav::TimeTicks::Now();
    answer_tokens = std::min(rate, answer_tokens + (now - answer_tokens_at_us) * rate / 1e6);
    answer_tokens_at_us = now;
    if (answer_tokens < 1) return false;
    answer_tokens -= 1;
    return true;
  }

  void Handle(Frame frame) {
    switch (frame.kind) {
      case FrameKind::kMessage:
        WithDelegate(
            [&](IDALBusDelegate& d) { d.OnBusMessage(frame.mode_id, frame.field_id, frame.text); });
        return;
      case FrameKind::kSnapshotRequest: {
        const std::string requester = frame.text;
        if (!IsPeerSocketName(requester)) return;
        std::string snapshot;
        if (TakeAnswerToken()) {
          WithDelegate(
              [&](IDALBusDelegate& d) { snapshot = d.OnBusSnapshotRequest(frame.mode_id); });
        } else {
          // "None" is cheap and sends the requester to another peer.
          Count([](Stats& s) { ++s.snapshots_refused; });
        }
        auto answer = EncodeFrame(
            Frame{FrameKind::kSnapshotAnswer, frame.mode_id, own_name, std::move(snapshot)},
            options.max_frame_bytes);
        if (!answer) {
          // Too large to send: answer "none" so the requester asks elsewhere.
          answer = EncodeFrame(Frame{FrameKind::kSnapshotAnswer, frame.mode_id, own_name, ""});
        }
        auto bytes = std::make_shared<const std::string>(std::move(*answer));
        Post("DalSnapshotAnswer",
             [requester, bytes](Core& core) { core.Enqueue(requester, bytes); });
        return;
      }
      case FrameKind::kSnapshotAnswer: {
        auto shared = std::make_shared<Frame>(std::move(frame));
        Post("DalSnapshotReceived", [shared](Core& core) {
          core.OnAnswer(shared->mode_id, shared->field_id, std::move(shared->text));
        });
        return;
      }
    }
  }
};

std::unique_ptr<UnixDalBus> UnixDalBus::Create(const UnixDalBusOptions& options,
                                               std::string* error) {
  if (!IsPrivateDirectory(options.directory, options.uid, error)) return nullptr;
  auto core = std::make_shared<Core>();
  core->options = options;
  core->own_name = std::to_string(::getpid()) + "." + std::to_string(g_socket_serial.fetch_add(1)) +
                   kSocketSuffix;
  core->own_path = options.directory + "/" + core->own_name;
  sockaddr_un address{};
  if (!FillAddress(core->own_path, &address)) {
    if (error) *error = "socket path too long: " + core->own_path;
    return nullptr;
  }
  core->listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  core->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (core->listen_fd < 0 || core->wake_fd < 0) {
    if (error) *error = Errno("socket");
    if (core->listen_fd >= 0) ::close(core->listen_fd);
    if (core->wake_fd >= 0) ::close(core->wake_fd);
    return nullptr;
  }
  // Listening under a name no peer looks at, then renamed into place: a
  // peer that sees the name can connect at once, so it never takes this
  // process for a dead one. rename() also replaces a name left by an
  // earlier process with our pid.
  const std::string temporary =
      options.directory + "/." + core->own_name.substr(0, core->own_name.size() - 5) + ".new";
  sockaddr_un temporary_address{};
  if (!FillAddress(temporary, &temporary_address)) {
    if (error) *error = "socket path too long: " + temporary;
    ::close(core->listen_fd);
    ::close(core->wake_fd);
    return nullptr;
  }
  ::unlink(temporary.c_str());
  if (::bind(core->listen_fd, reinterpret_cast<const sockaddr*>(&temporary_address),
             sizeof(temporary_address)) != 0 ||
      ::listen(core->listen_fd, 64) != 0 ||
      ::rename(temporary.c_str(), core->own_path.c_str()) != 0) {
    if (error) *error = Errno("bind") + " " + core->own_path;
    ::unlink(temporary.c_str());
    ::close(core->listen_fd);
    ::close(core->wake_fd);
    return nullptr;
  }
  core->answer_tokens = std::max<uint32_t>(options.snapshot_answers_per_second, 1);
  core->answer_tokens_at_us = Tav::TimeTicks::Now();
  Core* raw = core.get();
  core->receiver = std::thread([raw] { raw->Receive(); });
  return std::unique_ptr<UnixDalBus>(new UnixDalBus(std::move(core)));
}

std::unique_ptr<UnixDalBus> UnixDalBus::CreateFromEnvironment(std::string* error) {
  ovplatform::Os& os = ovplatform::GetOs();
  UnixDalBusOptions options;
  options.uid = os.UserId();
  auto directory = EnsureBusDirectory(os.GetEnv("XDG_RUNTIME_DIR"), options.uid, "/tmp", error);
  if (!directory) return nullptr;
  options.directory = *directory;
  return Create(options, error);
}

UnixDalBus::UnixDalBus(std::shared_ptr<Core> core) : core_(std::move(core)) {
  DalLog(klb::LogLevel::kInfo, "NSDAL_JOINS", "UnixDalBus: joined - socket=" + core_->own_path);
}

UnixDalBus::~UnixDalBus() {
  // A short-lived process's last messages still leave, within a bound.
  Drain(core_->options.shutdown_drain_limit);
  SetDelegate(nullptr);
  // The name goes first: a peer that connects now is refused by no one.
  ::unlink(core_->own_path.c_str());
  core_->stopping.store(true, std::memory_order_release);
  const uint64_t one = 1;
  (void)!::write(core_->wake_fd, &one, sizeof(one));
  if (core_->receiver.joinable()) core_->receiver.join();
  ::close(core_->listen_fd);
  ::close(core_->wake_fd);
}

bool UnixDalBus::Drain(std::chrono::milliseconds timeout) {
  auto waiter = std::make_shared<Core::DrainWaiter>();
  // Two hops: a send that a task running now posts (a coalesced flush) is
  // queued before the second.
  const bool posted = core_->Post("DalDrain", [waiter](Core& core) {
    core.Post("DalDrain", [waiter](Core& inner) {
      inner.drain_waiters.push_back(waiter);
      inner.NotifyDrainedIfEmpty();
    });
  });
  if (!posted) return false;  // no runner any more: nothing can be sent
  std::unique_lock lock(waiter->mutex);
  return waiter->done_changed.wait_for(lock, timeout, [&] { return waiter->done; });
}

void UnixDalBus::SetDelegate(IDALBusDelegate* delegate) {
  std::lock_guard lock(core_->delegate_mutex);
  core_->delegate = delegate;
}

void UnixDalBus::Publish(const std::string& mode_id, const std::string& field_id,
                         const std::string& text, int32_t target) {
  auto encoded = EncodeFrame(Frame{FrameKind::kMessage, mode_id, field_id, text},
                             core_->options.max_frame_bytes);
  if (!encoded) {
    DalLog(klb::LogLevel::kWarning, "NSDAL_TOOBG",
           "UnixDalBus: message over the size limit not sent - field=" + field_id +
               ", bytes=" + std::to_string(text.size()));
    return;
  }
  auto bytes = std::make_shared<const std::string>(std::move(*encoded));
  core_->Post("DalPublish", [bytes, target](Core& core) { core.SendToAll(bytes, target); });
}

void UnixDalBus::RequestSnapshot(const std::string& mode_id) {
  core_->Post("DalSnapshotRequest", [mode_id](Core& core) { core.StartAsk(mode_id); });
}

const std::string& UnixDalBus::socket_name() const {
  return core_->own_name;
}
const std::string& UnixDalBus::directory() const {
  return core_->options.directory;
}

UnixDalBus::Stats UnixDalBus::stats() const {
  std::lock_guard lock(core_->stats_mutex);
  return core_->counters;
}

bool UnixDalBus::WaitForStats(const std::function<bool(const Stats&)>& done,
                              std::chrono::milliseconds timeout) const {
  std::unique_lock lock(core_->stats_mutex);
  return core_->stats_changed.wait_for(lock, timeout, [&] { return done(core_->counters); });
}

}  // namespace ns_dal
