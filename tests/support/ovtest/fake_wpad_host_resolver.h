// FakeWpadHostResolver: answers name lookups of the WPAD discovery from a
// table set by the test, and records every name it was asked.
//
// Thread-safety: all members may be called from any thread (the discovery
// runs on worker runners).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wpad/ov_wpad_host_resolver.h"

namespace ovtest {

class FakeWpadHostResolver : public ovplatform::WpadHostResolver {
 public:
  void SetAddresses(const std::string& host, std::vector<std::string> addresses) {
    std::lock_guard<std::mutex> lock(mutex_);
    addresses_[host] = std::move(addresses);
  }

  std::vector<std::string> ResolveHost(const std::string& host) override {
    std::lock_guard<std::mutex> lock(mutex_);
    asked_.push_back(host);
    const auto it = addresses_.find(host);
    return it == addresses_.end() ? std::vector<std::string>{} : it->second;
  }

  std::vector<std::string> asked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<std::string>> addresses_;
  std::vector<std::string> asked_;
};

}  // namespace ovtest
