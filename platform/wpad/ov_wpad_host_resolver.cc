#include "platform/wpad/ov_wpad_host_resolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "tavlib/tav_clock.h"

namespace ovplatform {
namespace {

class SystemWpadHostResolver final : public WpadHostResolver {
 public:
  std::vector<std::string> ResolveHost(const std::string& host) override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // Only ask for address families the machine can reach.
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    std::vector<std::string> addresses;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      char text[NI_MAXHOST];
      if (getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) == 0) {
        addresses.emplace_back(text);
      }
    }
    freeaddrinfo(found);
    return addresses;
  }
};

// One lookup on its helper thread, shared by the callers waiting for it.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  std::vector<std::string> addresses;
};

class BoundedWpadHostResolver final : public WpadHostResolver {
 public:
  BoundedWpadHostResolver(std::shared_ptr<WpadHostResolver> inner, std::chrono::milliseconds bound)
      : inner_(std::move(inner)), bound_us_(std::chrono::microseconds(bound).count()) {}

  std::vector<std::string> ResolveHost(const std::string& host) override {
    // The bound starts before the helper does, so a test that moves its
    // clock once the lookup began always moves it past the deadline.
    const int64_t deadline_us = Tav::TimeTicks::Now() + bound_us_;
    std::shared_ptr<Lookup> lookup = Join(host);
    const Tav::ClockListenerId listener = Tav::AddClockListener([lookup] {
      std::lock_guard lock(lookup->mutex);
      lookup->done_cv.notify_all();
    });
    std::vector<std::string> addresses;
    {
      std::unique_lock lock(lookup->mutex);
      for (;;) {
        if (lookup->done) {
          addresses = lookup->addresses;
          break;
        }
        const int64_t left_us = deadline_us - Tav::TimeTicks::Now();
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
    std::shared_ptr<Lookup>& running = running_[host];
    if (running) {
      std::lock_guard lookup_lock(running->mutex);
      if (!running->done) return running;
    }
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

  const std::shared_ptr<WpadHostResolver> inner_;
  const int64_t bound_us_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Lookup>> running_;  // the last lookup of each name
};

}  // namespace

std::shared_ptr<WpadHostResolver> MakeSystemWpadHostResolver() {
  return std::make_shared<SystemWpadHostResolver>();
}

std::shared_ptr<WpadHostResolver> MakeBoundedWpadHostResolver(
    std::shared_ptr<WpadHostResolver> inner, std::chrono::milliseconds bound) {
  return std::make_shared<BoundedWpadHostResolver>(std::move(inner), bound);
}

}  // namespace ovplatform
