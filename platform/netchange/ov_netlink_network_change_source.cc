#include "platform/netchange/ov_netlink_network_change_source.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <utility>
#include <vector>

#include "platform/netchange/ov_netlink_state.h"

namespace ovplatform {
namespace {

constexpr uint32_t kGroups =
    RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
// Large enough for the biggest message the kernel sends in one datagram.
constexpr size_t kReceiveBufferBytes = 64 * 1024;
// The kernel answers a dump at once; this only bounds a broken one.
constexpr int kDumpTimeoutSeconds = 5;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Reads the kernel's current links, addresses and routes through `fd`
// (a socket without subscriptions). False when the dump failed.
bool DumpState(int fd, NetlinkState& state) {
  static constexpr uint16_t kRequests[] = {RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE};
  uint32_t sequence = 0;
  std::vector<uint8_t> buffer(kReceiveBufferBytes);
  for (const uint16_t request : kRequests) {
    struct {
      nlmsghdr header;
      rtgenmsg body;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = request;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = ++sequence;
    message.body.rtgen_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
      return false;
    }
    for (bool done = false; !done;) {
      const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      state.Apply(buffer.data(), static_cast<size_t>(got));
      // The end of the dump (or its failure) is a message of its own.
      size_t offset = 0;
      while (offset + sizeof(nlmsghdr) <= static_cast<size_t>(got)) {
        nlmsghdr header{};
        std::memcpy(&header, buffer.data() + offset, sizeof header);
        if (header.nlmsg_len < sizeof header) break;
        if (header.nlmsg_seq == sequence &&
            (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR)) {
          if (header.nlmsg_type == NLMSG_ERROR) return false;
          done = true;
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
      }
    }
  }
  return true;
}

Fd OpenRouteSocket(uint32_t groups) {
  Fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | (groups != 0 ? SOCK_NONBLOCK : 0),
               NETLINK_ROUTE));
  if (!fd.valid()) return fd;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = groups;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return Fd();
  if (groups == 0) {
    timeval timeout{kDumpTimeoutSeconds, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  } else {
    // Room for a burst (an interface coming up with many routes); an overrun
    // is survived anyway, by reading the whole state again.
    const int bytes = 1024 * 1024;
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  return fd;
}

}  // namespace

class NetlinkNetworkChangeSource::Worker {
 public:
  Worker(Fd events, Fd dump, Fd wake, NetlinkState state, Callback callback)
      : events_(std::move(events)),
        dump_(std::move(dump)),
        wake_(std::move(wake)),
        callback_(std::move(callback)),
        state_(std::move(state)) {}

  void RequestStop() {
    stopping_.store(true, std::memory_order_release);
    const uint64_t one = 1;
    // The eventfd counter cannot overflow from a handful of writes.
    [[maybe_unused]] const ssize_t written = write(wake_.get(), &one, sizeof one);
  }

  // Lets Run start telling: the thread object is published by then, so a
  // callback that stops the source sees it.
  void Release() { released_.set_value(); }

  void Run() {
    released_.get_future().wait();
    pollfd fds[2] = {{events_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    while (!stopping_.load(std::memory_order_acquire)) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;  // the descriptors are gone: nothing more can be told
      }
      if (stopping_.load(std::memory_order_acquire)) return;
      if ((fds[0].revents & POLLIN) == 0 && (fds[0].revents & (POLLERR | POLLHUP)) != 0) return;
      if (Drain() && !stopping_.load(std::memory_order_acquire)) callback_();
    }
  }

 private:
  // Reads every queued notification. True when the state changed.
  bool Drain() {
    bool changed = false;
    bool lost = false;
    for (;;) {
      sockaddr_nl sender{};
      socklen_t senderSize = sizeof sender;
      const ssize_t got = recvfrom(events_.get(), buffer_, sizeof buffer_, 0,
                                   reinterpret_cast<sockaddr*>(&sender), &senderSize);
      if (got < 0) {
        if (errno == EINTR) continue;
        if (errno == ENOBUFS) {
          lost = true;
          continue;
        }
        break;  // EAGAIN: drained
      }
      // Only the kernel speaks for the network.
      if (sender.nl_pid != 0) continue;
      changed |= state_.Apply(buffer_, static_cast<size_t>(got));
    }
    if (lost) {
      NetlinkState fresh;
      if (DumpState(dump_.get(), fresh)) {
        changed |= !(fresh == state_);
        state_ = std::move(fresh);
      } else {
        changed = true;  // cannot tell: better one needless notification than a missed one
      }
    }
    return changed;
  }

  Fd events_;
  Fd dump_;
  Fd wake_;
  Callback callback_;
  std::atomic<bool> stopping_{false};
  std::promise<void> released_;
  NetlinkState state_;
  alignas(nlmsghdr) uint8_t buffer_[kReceiveBufferBytes];
};

NetlinkNetworkChangeSource::~NetlinkNetworkChangeSource() {
  Stop();
}

bool NetlinkNetworkChangeSource::Start(Callback callback) {
  if (started_ || !callback) return false;
  // All sockets are made here, on the caller's thread, so they belong to its
  // network namespace.
  Fd events = OpenRouteSocket(kGroups);
  Fd dump = OpenRouteSocket(0);
  Fd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!events.valid() || !dump.valid() || !wake.valid()) return false;
  // The state is read before Start returns, so every change after it is
  // told. Subscribed before the dump, nothing between the two is lost: what
  // the dump already shows is simply no change when it arrives again.
  NetlinkState state;
  if (!DumpState(dump.get(), state)) return false;
  started_ = true;
  worker_ = std::make_shared<Worker>(std::move(events), std::move(dump), std::move(wake),
                                     std::move(state), std::move(callback));
  thread_ = std::thread([worker = worker_] { worker->Run(); });
  worker_->Release();
  return true;
}

void NetlinkNetworkChangeSource::Stop() {
  if (!worker_) return;
  worker_->RequestStop();
  worker_.reset();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // stopped from the callback: the thread ends when it returns
  } else {
    thread_.join();
  }
}

}  // namespace ovplatform
