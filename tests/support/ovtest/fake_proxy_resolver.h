// FakeProxyResolver: a synchronous resolver driven by hand. It answers every
// resolve with the configured code and, on e_success, the configured answer,
// and records what it was asked.
//
// Thread-safety: none; used on one runner at a time like the real ones.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ov_proxy_resolver.h"

namespace ovtest {

class FakeProxyResolver : public OVProxy::ovProxyResolver {
 public:
  struct Call {
    std::string request_id;
    std::string url;
    std::string extra;
    std::shared_ptr<OVProxy::ovProxyConfig> config;
  };

  explicit FakeProxyResolver(std::string name = "FakeResolver") : name_(std::move(name)) {}

  void SetAnswer(OVProxy::eErrorCode code, OVProxy::ovProxyInfo answer = {}) {
    code_ = code;
    answer_ = std::move(answer);
  }

  OVProxy::eErrorCode initialize() override {
    initialized_ = true;
    return OVProxy::e_success;
  }
  OVProxy::eErrorCode uninitialize() override {
    initialized_ = false;
    return OVProxy::e_success;
  }
  OVProxy::eErrorCode resolve(const std::string& requestId, const std::string& url,
                              const std::string& extra,
                              std::shared_ptr<OVProxy::ovProxyConfig> config,
                              OVProxy::ovProxyInfo& result) override {
    calls_.push_back({requestId, url, extra, std::move(config)});
    if (code_ == OVProxy::e_success) result = answer_;
    return code_;
  }
  std::string getName() override { return name_; }
  bool isAvailable() override { return initialized_; }
  void cancelResolve(const std::string& requestId) override { cancelled_.push_back(requestId); }

  const std::vector<Call>& calls() const { return calls_; }
  const std::vector<std::string>& cancelled() const { return cancelled_; }

 private:
  std::string name_;
  OVProxy::eErrorCode code_ = OVProxy::e_success;
  OVProxy::ovProxyInfo answer_;
  bool initialized_ = false;
  std::vector<Call> calls_;
  std::vector<std::string> cancelled_;
};

}  // namespace ovtest
