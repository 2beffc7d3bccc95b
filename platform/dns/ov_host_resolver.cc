#include "platform/dns/ov_host_resolver.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "tavlib/tav_clock.h"

namespace ovplatform {
namespace {

class SystemHostResolver final : public HostResolver {
 public:
  explicit SystemHostResolver(HostFamilies families) : families_(families) {
#ifdef _WIN32
    // Windows sockets must be started before the first lookup; the count is
    // kept by the system, so every resolver starts and ends its own.
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
#endif
  }
  ~SystemHostResolver() override {
#ifdef _WIN32
    if (started_) WSACleanup();
#endif
  }

  std::vector<std::string> ResolveHost(const std::string& host) override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    // One entry per address rather than one per socket type.
    hints.ai_socktype = SOCK_STREAM;
    if (families_ == HostFamilies::kReachable) hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    std::vector<std::string> addresses;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      char text[NI_MAXHOST];
      if (getnameinfo(entry->ai_addr, static_cast<socklen_t>(entry->ai_addrlen), text, sizeof text,
                      nullptr, 0, NI_NUMERICHOST) == 0 &&
          std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
        addresses.emplace_back(text);
      }
    }
    freeaddrinfo(found);
    return addresses;
  }

 private:
  const HostFamilies families_;
#ifdef _WIN32
  bool started_ = false;
#endif
};

// One lookup on its helper thread, shared by the callers waiting for it.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  std::vector<std::string> addresses;
};

class BoundedSystemHostResolver final : public BoundedHostResolver {
 public:
  BoundedSystemHostResolver(std::shared_ptr<HostResolver> inner, std::chrono::milliseconds bound)
      : inner_(std::move(inner)), bound_us_(std::chrono::microseconds(bound).count()) {}

  std::optional<std::vector<std::string>> ResolveHostBefore(const std::string& host,
                                                            int64_t deadline_us) override {
    // The bound starts before the helper does, so a test that moves its
    // clock once the lookup began always moves it past the deadline.
    const int64_t bound_us = Tav::TimeTicks::Now() + bound_us_;
    const int64_t until_us = deadline_us != 0 ? std::min(deadline_us, bound_us) : bound_us;
    std::shared_ptr<Lookup> lookup = Join(host);
    const Tav::ClockListenerId listener = Tav::AddClockListener([lookup] {
      std::lock_guard lock(lookup->mutex);
      lookup->done_cv.notify_all();
    });
    std::optional<std::vector<std::string>> addresses;
    {
      std::unique_lock lock(lookup->mutex);
      for (;;) {
        if (lookup->done) {
          addresses = lookup->addresses;
          break;
        }
        const int64_t left_us = until_us - Tav::TimeTicks::Now();
        if (left_us <= 0) break;  // too slow: not found
        lookup->done_cv.wait_for(lock, std::chrono::microseconds(left_us));
      }
    }
    Tav::RemoveClockListener(listener);
    return addresses;
  }

 private:
  // The running lookup of `host`, or a new one on a new helper thread.
  std::shared_ptr<Lookup> Join(const std::string& host) {
    std::lock_guard lock(mutex_);
    // Names whose lookups ended are forgotten, so a script asking thousands
    // of names leaves no trail here.
    std::erase_if(running_, [](const auto& item) {
      std::lock_guard lookup_lock(item.second->mutex);
      return item.second->done;
    });
    std::shared_ptr<Lookup>& running = running_[host];
    if (running) return running;
    running = std::make_shared<Lookup>();
    std::thread([inner = inner_, lookup = running, host] {
      std::vector<std::string> addresses;
      try {
        addresses = inner->ResolveHost(host);
      } catch (...) {
        // A resolver that fails resolved nothing.
      }
      std::lock_guard lookup_lock(lookup->mutex);
      lookup->addresses = std::move(addresses);
      lookup->done = true;
      lookup->done_cv.notify_all();
    }).detach();
    return running;
  }

  const std::shared_ptr<HostResolver> inner_;
  const int64_t bound_us_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Lookup>> running_;  // lookups still running, by name
};

}  // namespace

std::shared_ptr<HostResolver> MakeSystemHostResolver(HostFamilies families) {
  return std::make_shared<SystemHostResolver>(families);
}

std::shared_ptr<BoundedHostResolver> MakeBoundedHostResolver(std::shared_ptr<HostResolver> inner,
                                                             std::chrono::milliseconds bound) {
  return std::make_shared<BoundedSystemHostResolver>(std::move(inner), bound);
}

}  // namespace ovplatform
