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
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "nsdal/dal_bus_directory.h"
#include "nsdal/dal_log.h"
#include "platform/os/ov_os.h"

namespace ns_dal {
namespace {

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

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// A connected socket to a peer's listener.
class UnixLink final : public DalLink {
 public:
  explicit UnixLink(int fd) : fd_(fd) {}
  ~UnixLink() override { ::close(fd_); }

  Write Send(const char* data, std::size_t size, std::size_t* written,
             std::string* error) override {
    const ssize_t sent = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      *written = static_cast<std::size_t>(sent);
      return sent > 0 ? Write::kProgress : Write::kWouldBlock;
    }
    if (errno == EAGAIN || errno == EINTR) return Write::kWouldBlock;
    *error = Errno("send");
    return Write::kBroken;
  }

  bool PeerClosed() override {
    pollfd probe{fd_, POLLIN, 0};
    return ::poll(&probe, 1, 0) > 0 && probe.revents != 0;
  }

 private:
  const int fd_;
};

class UnixTransport final : public IDalStreamTransport {
 public:
  UnixTransport(std::string directory, uint32_t uid, std::string name, int listen_fd, int wake_fd)
      : directory_(std::move(directory)),
        uid_(uid),
        own_name_(std::move(name)),
        own_path_(directory_ + "/" + own_name_),
        listen_fd_(listen_fd),
        wake_fd_(wake_fd) {}
  ~UnixTransport() override {
    ::close(listen_fd_);
    ::close(wake_fd_);
  }

  const char* log_name() const override { return "UnixDalBus"; }
  const std::string& own_name() const override { return own_name_; }

  bool IsPeerName(const std::string& name) const override {
    return IsPeerNameOfForm(name, kSocketSuffix);
  }

  std::vector<std::string> ListNames() override {
    return ovplatform::GetOs().ListDirectory(directory_);
  }

  Connect ConnectTo(const std::string& name, std::unique_ptr<DalLink>* link,
                    std::string* detail) override {
    sockaddr_un address{};
    if (!FillAddress(directory_ + "/" + name, &address)) return Connect::kFailed;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Connect::kFailed;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == ECONNREFUSED) return Connect::kDead;
      if (error == EAGAIN) return Connect::kNotAccepting;
      return Connect::kFailed;
    }
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        credentials.uid != uid_) {
      *detail = "uid=" + std::to_string(credentials.uid);
      ::close(fd);
      return Connect::kForeign;
    }
    *link = std::make_unique<UnixLink>(fd);
    return Connect::kConnected;
  }

  bool RemoveDeadName(const std::string& name) override {
    const std::string path = directory_ + "/" + name;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != uid_) {
      return false;
    }
    return ::unlink(path.c_str()) == 0;
  }

  void Receive(IDalReceiveHandler& handler, const std::atomic<bool>& stopping) override {
    std::map<IDalReceiveHandler::ConnectionId, int> open;  // id -> fd
    IDalReceiveHandler::ConnectionId next_id = 1;
    std::vector<pollfd> fds;
    std::vector<IDalReceiveHandler::ConnectionId> ids, expired;
    std::vector<char> chunk(kReadChunk);
    auto close_id = [&](IDalReceiveHandler::ConnectionId id) {
      auto found = open.find(id);
      if (found == open.end()) return;
      ::close(found->second);
      open.erase(found);
    };
    while (!stopping.load(std::memory_order_acquire)) {
      expired.clear();
      const int timeout_ms = handler.Expire(&expired);
      for (auto id : expired) close_id(id);
      fds.clear();
      ids.clear();
      fds.push_back(pollfd{wake_fd_, POLLIN, 0});
      fds.push_back(pollfd{listen_fd_, POLLIN, 0});
      for (const auto& [id, fd] : open) {
        fds.push_back(pollfd{fd, POLLIN, 0});
        ids.push_back(id);
      }
      if (::poll(fds.data(), fds.size(), timeout_ms) < 0) {
        if (errno == EINTR) continue;
        DalLog(klb::LogLevel::kError, "NSDAL_POLLF", "UnixDalBus: " + Errno("poll"));
        break;
      }
      if (fds[0].revents != 0) {
        uint64_t ignored = 0;
        (void)!::read(wake_fd_, &ignored, sizeof(ignored));
        continue;
      }
      for (std::size_t i = 0; i < ids.size(); ++i) {
        if (fds[i + 2].revents == 0) continue;
        if (!ReadConnection(handler, ids[i], open.at(ids[i]), chunk)) close_id(ids[i]);
      }
      if (fds[1].revents != 0) Accept(handler, open, next_id);
    }
    for (const auto& entry : open) ::close(entry.second);
  }

  void Wake() override {
    const uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof(one));
  }

  void Withdraw() override { ::unlink(own_path_.c_str()); }

 private:
  void Accept(IDalReceiveHandler& handler, std::map<IDalReceiveHandler::ConnectionId, int>& open,
              IDalReceiveHandler::ConnectionId& next_id) {
    for (;;) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      ucred credentials{};
      socklen_t size = sizeof(credentials);
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
          credentials.uid != uid_) {
        ::close(fd);
        handler.OnRefused("uid=" + std::to_string(credentials.uid) +
                          ", pid=" + std::to_string(credentials.pid));
        continue;
      }
      const auto id = next_id++;
      if (!handler.OnAccepted(id, static_cast<uint32_t>(credentials.pid))) {
        ::close(fd);
        continue;
      }
      open.emplace(id, fd);
    }
  }

  // Reads what the socket holds; false when the connection is finished
  // (closed by the peer, broken, or refused by the handler).
  static bool ReadConnection(IDalReceiveHandler& handler, IDalReceiveHandler::ConnectionId id,
                             int fd, std::vector<char>& chunk) {
    for (;;) {
      const ssize_t got = ::read(fd, chunk.data(), chunk.size());
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
      if (got <= 0) {
        handler.OnEnded(id);
        return false;
      }
      if (!handler.OnBytes(id, chunk.data(), static_cast<std::size_t>(got))) return false;
    }
  }

  const std::string directory_;
  const uint32_t uid_;
  const std::string own_name_;
  const std::string own_path_;
  const int listen_fd_;
  const int wake_fd_;
};

}  // namespace

std::unique_ptr<UnixDalBus> UnixDalBus::Create(const UnixDalBusOptions& options,
                                               std::string* error) {
  if (!IsPrivateDirectory(options.directory, options.uid, error)) return nullptr;
  const std::string stem =
      std::to_string(::getpid()) + "." + std::to_string(g_socket_serial.fetch_add(1));
  const std::string name = stem + kSocketSuffix;
  const std::string path = options.directory + "/" + name;
  sockaddr_un address{};
  if (!FillAddress(path, &address)) {
    if (error) *error = "socket path too long: " + path;
    return nullptr;
  }
  const int listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  auto close_both = [&] {
    if (listen_fd >= 0) ::close(listen_fd);
    if (wake_fd >= 0) ::close(wake_fd);
  };
  if (listen_fd < 0 || wake_fd < 0) {
    if (error) *error = Errno("socket");
    close_both();
    return nullptr;
  }
  // Listening under a name no peer looks at, then renamed into place: a
  // peer that sees the name can connect at once, so it never takes this
  // process for a dead one. rename() also replaces a name left by an
  // earlier process with our pid.
  const std::string temporary = options.directory + "/." + stem + ".new";
  sockaddr_un temporary_address{};
  if (!FillAddress(temporary, &temporary_address)) {
    if (error) *error = "socket path too long: " + temporary;
    close_both();
    return nullptr;
  }
  ::unlink(temporary.c_str());
  if (::bind(listen_fd, reinterpret_cast<const sockaddr*>(&temporary_address),
             sizeof(temporary_address)) != 0 ||
      ::listen(listen_fd, 64) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    if (error) *error = Errno("bind") + " " + path;
    ::unlink(temporary.c_str());
    close_both();
    return nullptr;
  }
  return std::make_unique<UnixDalBus>(
      options,
      std::make_unique<UnixTransport>(options.directory, options.uid, name, listen_fd, wake_fd));
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

}  // namespace ns_dal
