// FakeAsyncResolver: an asynchronous resolver driven by hand. resolve records
// the call (in a log that may outlive it) and answers the configured code;
// Complete later answers through the delegate. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ov_proxy_resolver.h"

namespace ovtest {

class FakeAsyncResolver : public OVProxy::ovProxyAsyncResolver {
 public:
  struct Log {
    // The ids resolve was given (the tasks' own keys, not the callers' ids),
    // and beside each its URL.
    std::vector<std::string> resolved;
    std::vector<std::string> urls;
    std::vector<std::string> cancelled;
    bool destroyed = false;
  };

  explicit FakeAsyncResolver(uint32_t kind, std::shared_ptr<Log> log = std::make_shared<Log>())
      : kind_(kind), log_(std::move(log)) {}
  ~FakeAsyncResolver() override { log_->destroyed = true; }
  Log& log() { return *log_; }
  void SetResolveAnswer(OVProxy::eErrorCode code) { resolve_answer_ = code; }
  // The id the last request for `url` was resolved under ("" when none).
  std::string IdFor(const std::string& url) const {
    for (std::size_t i = log_->urls.size(); i-- > 0;) {
      if (log_->urls[i] == url) return log_->resolved[i];
    }
    return std::string();
  }
  void SetAvailable(bool available) { available_ = available; }
  void Complete(const std::string& requestId, OVProxy::eErrorCode error,
                const std::string& answer = "p:8080", bool dnsBlind = false) {
    std::shared_ptr<OVProxy::ovProxyInfo> result;
    if (error == OVProxy::e_success) {
      result = std::make_shared<OVProxy::ovProxyInfo>();
      result->UseNamedProxy(answer);
      result->set_dns_blind(dnsBlind);
    }
    if (delegate_) delegate_->onResolveComplete(requestId, result, error, kind_);
  }

  OVProxy::eErrorCode initialize() override { return OVProxy::e_success; }
  OVProxy::eErrorCode uninitialize() override { return OVProxy::e_success; }
  OVProxy::eErrorCode resolve(const std::string& requestId, const std::string& url,
                              const std::string&, std::shared_ptr<OVProxy::ovProxyConfig>,
                              OVProxy::ovProxyInfo&) override {
    log_->resolved.push_back(requestId);
    log_->urls.push_back(url);
    return resolve_answer_;
  }
  std::string getName() override { return "FakeAsync" + std::to_string(kind_); }
  bool isAvailable() override { return available_; }
  OVProxy::eErrorCode cancelRequest(const std::string& requestId) override {
    log_->cancelled.push_back(requestId);
    return OVProxy::e_success;
  }
  void cancelAllRequests() override {}
  void setDelegate(OVProxy::ovProxyResolverDelegate* delegate) override { delegate_ = delegate; }
  OVProxy::ovProxyResolverDelegate* getDelegate() override { return delegate_; }

 private:
  const uint32_t kind_;
  std::shared_ptr<Log> log_;
  OVProxy::eErrorCode resolve_answer_ = OVProxy::e_pending;
  bool available_ = true;
  OVProxy::ovProxyResolverDelegate* delegate_ = nullptr;
};

}  // namespace ovtest
