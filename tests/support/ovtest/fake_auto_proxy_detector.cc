#include "ovtest/fake_auto_proxy_detector.h"

#include <cstring>

namespace ovtest {

void FakeAutoProxyDetector::SetAnswer(uint32_t type, std::string url) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_[type] = std::move(url);
}

std::vector<uint32_t> FakeAutoProxyDetector::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void FakeAutoProxyDetector::Hold() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = true;
}

void FakeAutoProxyDetector::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
  }
  changed_.notify_all();
}

void FakeAutoProxyDetector::WaitForCalls(std::size_t count) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return calls_.size() >= count; });
}

bool FakeAutoProxyDetector::DetectAutoProxyUrl(char* url, uint32_t urlLength,
                                               uint32_t detectFlags) {
  std::unique_lock<std::mutex> lock(mutex_);
  calls_.push_back(detectFlags);
  changed_.notify_all();
  changed_.wait(lock, [&] { return !held_; });
  auto it = answers_.find(detectFlags);
  if (it == answers_.end() || it->second.empty() || url == nullptr ||
      it->second.size() + 1 > urlLength) {
    return false;
  }
  std::memcpy(url, it->second.c_str(), it->second.size() + 1);
  return true;
}

}  // namespace ovtest
