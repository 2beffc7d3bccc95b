// FakeHostResolver: the name-lookup seam (platform/dns) answered from a
// table the test fills. A name marked slow holds its lookup until Release
// (or the fake's end), so that a bounded lookup runs out under a test
// clock; `on_lookup` runs at the start of every lookup (a test may move its
// clock there). FakeLocalAddresses: the machine's own addresses, fixed.
// Thread-safe; share it through std::shared_ptr (helper threads of the
// bounded resolver hold it).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/dns/ov_host_resolver.h"
#include "platform/dns/ov_local_addresses.h"

namespace ovtest {

class FakeHostResolver final : public ovplatform::HostResolver {
 public:
  explicit FakeHostResolver(std::map<std::string, std::vector<std::string>> names = {},
                            std::set<std::string> slow = {})
      : names_(std::move(names)), slow_(std::move(slow)) {}
  ~FakeHostResolver() override { Release(); }

  std::function<void(const std::string&)> on_lookup;

  std::vector<std::string> ResolveHost(const std::string& host) override {
    if (on_lookup) on_lookup(host);
    std::unique_lock lock(mutex_);
    ++lookups_[host];
    ++total_;
    changed_.notify_all();
    if (slow_.count(host) != 0) changed_.wait(lock, [this] { return released_; });
    const auto it = names_.find(host);
    return it != names_.end() ? it->second : std::vector<std::string>{};
  }

  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  int Lookups(const std::string& host) {
    std::lock_guard lock(mutex_);
    return lookups_[host];
  }
  int TotalLookups() {
    std::lock_guard lock(mutex_);
    return total_;
  }
  // Waits (at most a few seconds) until `count` lookups have started.
  bool WaitForLookups(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return total_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const std::map<std::string, std::vector<std::string>> names_;
  const std::set<std::string> slow_;
  std::map<std::string, int> lookups_;
  int total_ = 0;
  bool released_ = false;
};

class FakeLocalAddresses final : public ovplatform::LocalAddressSource {
 public:
  explicit FakeLocalAddresses(std::vector<std::string> addresses)
      : addresses_(std::move(addresses)) {}
  std::vector<std::string> LocalAddresses() override { return addresses_; }

 private:
  const std::vector<std::string> addresses_;
};

}  // namespace ovtest
