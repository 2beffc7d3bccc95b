// FakeAutoProxyDetector: PAC URL discovery answered by hand per detection
// type, recording every call; Hold() blocks detections until Release().
// Thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/autoproxy/ov_auto_proxy_url_detector.h"

namespace ovtest {

class FakeAutoProxyDetector final : public ovplatform::AutoProxyUrlDetector {
 public:
  // The URL a detection of `type` finds; an empty URL finds nothing.
  void SetAnswer(uint32_t type, std::string url) {
    std::lock_guard lock(mutex_);
    answers_[type] = std::move(url);
  }
  std::vector<uint32_t> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  // Blocks until `count` detections have started.
  void WaitForCalls(std::size_t count) const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return calls_.size() >= count; });
  }

  bool DetectAutoProxyUrl(char* url, uint32_t urlLength, uint32_t detectFlags) override {
    std::unique_lock lock(mutex_);
    calls_.push_back(detectFlags);
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_; });
    const std::string& found = answers_[detectFlags];
    if (found.empty() || url == nullptr || found.size() + 1 > urlLength) return false;
    std::memcpy(url, found.c_str(), found.size() + 1);
    return true;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<uint32_t, std::string> answers_;
  std::vector<uint32_t> calls_;
  bool held_ = false;
};

}  // namespace ovtest
