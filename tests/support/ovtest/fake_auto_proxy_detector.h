// FakeAutoProxyDetector: PAC URL discovery answered by hand, per detection
// type, with a record of every call. Hold() makes detections block until
// Release(), so that a test can act while one is running.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/autoproxy/ov_auto_proxy_url_detector.h"

namespace ovtest {

class FakeAutoProxyDetector final : public ovplatform::AutoProxyUrlDetector {
 public:
  // The URL a detection of `type` finds; an empty URL finds nothing.
  void SetAnswer(uint32_t type, std::string url);
  std::vector<uint32_t> calls() const;
  void Hold();
  void Release();
  // Blocks until `count` detections have started.
  void WaitForCalls(std::size_t count) const;

  bool DetectAutoProxyUrl(char* url, uint32_t urlLength, uint32_t detectFlags) override;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<uint32_t, std::string> answers_;
  std::vector<uint32_t> calls_;
  bool held_ = false;
};

}  // namespace ovtest
