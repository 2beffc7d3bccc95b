#include "nsdal/unix_dal_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
  std::set<std::string> dropped;
  std::map<std::string, SnapshotAsk> asks;
  uint64_t ask_generation = 0;
  bool retry_scheduled = false;

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
  void Post(const char* name, std::function<void(Core&)> work,
            std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    std::weak_ptr<Core> weak = weak_from_this();
    PostToDalRunner(
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
    for (const std::string& name : ovplatform::GetOs().ListDirectory(options.directory)) {
      if (name == own_name || !IsPeerSocketName(name) || dropped.count(name) != 0) continue;
      if (!prefix.empty() && name.compare(0, prefix.size(), prefix) != 0) continue;
      peers.push_back(name);
    }
    return peers;
  }

  void RemoveStaleSocket(const std::string& name) {
    const std::string path = options.directory + "/" + name;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) ||
        info.st_uid != options.uid) {
      return;
    }
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
    dropped.insert(name);
    DalLog(klb::LogLevel::kWarning, "NSDAL_DROPP",
           std::string("UnixDalBus: peer dropped - name=") + name + ", reason=" + why);
    Count([](Stats& s) { ++s.peers_dropped; });
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
    PeerLink& link = links[name];
    link.fd = fd;
    link.last_progress_us = Tav::TimeTicks::Now();
    return &link;
  }

  // Writes what the socket takes. False when the connection broke (the link
  // is gone then).
  bool Flush(const std::string& name, PeerLink& link) {
    while (!link.queue.empty()) {
      const std::string& bytes = *link.queue.front();
      const ssize_t written = ::send(link.fd, bytes.data() + link.offset,
                                     bytes.size() - link.offset, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (written < 0) {
        if (errno == EAGAIN || errno == EINTR) return true;
        DalLog(klb::LogLevel::kInfo, "NSDAL_BROKE",
               "UnixDalBus: connection closed - name=" + name + ", error=" + Errno("send"));
        ::close(link.fd);
        links.erase(name);
        return false;
      }
      link.offset += static_cast<std::size_t>(written);
      link.queued_bytes -= static_cast<std::size_t>(written);
      link.last_progress_us = Tav::TimeTicks::Now();
      if (link.offset == bytes.size()) {
        link.queue.pop_front();
        link.offset = 0;
        Count([](Stats& s) { ++s.frames_sent; });
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
  }

  void SendToAll(const std::shared_ptr<const std::string>& bytes, int32_t target) {
    for (const std::string& name : ListPeers(target)) Enqueue(name, bytes);
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
  };

  void Receive() {
    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    std::vector<char> chunk(kReadChunk);
    while (!stopping.load(std::memory_order_acquire)) {
      fds.clear();
      fds.push_back(pollfd{wake_fd, POLLIN, 0});
      fds.push_back(pollfd{listen_fd, POLLIN, 0});
      for (const Connection& c : connections) fds.push_back(pollfd{c.fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) {
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
      for (std::size_t i = 0; i < connections.size(); ++i) {
        if (fds[i + 2].revents == 0) continue;
        if (!ReadConnection(connections[i], chunk)) closed.push_back(i);
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
      if (connections.size() >= kMaxConnections) {
        ::close(fd);
        DalLog(klb::LogLevel::kWarning, "NSDAL_TOOMN", "UnixDalBus: too many connections");
        continue;
      }
      connections.push_back(Connection{fd, FrameReader(options.max_frame_bytes)});
    }
  }

  // False when the connection is finished (closed by the peer or broken).
  bool ReadConnection(Connection& connection, std::vector<char>& chunk) {
    for (;;) {
      const ssize_t got = ::read(connection.fd, chunk.data(), chunk.size());
      if (got == 0) return false;
      if (got < 0) return errno == EAGAIN || errno == EINTR;
      connection.reader.Feed(chunk.data(), static_cast<std::size_t>(got));
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
    }
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
        WithDelegate([&](IDALBusDelegate& d) { snapshot = d.OnBusSnapshotRequest(frame.mode_id); });
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
  // A name left by an earlier process with our pid belongs to a dead one.
  ::unlink(core->own_path.c_str());
  if (::bind(core->listen_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(core->listen_fd, 64) != 0) {
    if (error) *error = Errno("bind") + " " + core->own_path;
    ::close(core->listen_fd);
    ::close(core->wake_fd);
    return nullptr;
  }
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
  SetDelegate(nullptr);
  core_->stopping.store(true, std::memory_order_release);
  const uint64_t one = 1;
  (void)!::write(core_->wake_fd, &one, sizeof(one));
  if (core_->receiver.joinable()) core_->receiver.join();
  ::close(core_->listen_fd);
  ::close(core_->wake_fd);
  ::unlink(core_->own_path.c_str());
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
