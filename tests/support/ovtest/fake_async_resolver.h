// FakeAsyncResolver: an asynchronous resolver driven by hand, for code that
// sits on top of asynchronous resolvers (the PK resolver). resolve answers
// the configured code and records the call; the test later answers a request
// with Complete, which calls the delegate on the test's thread, as a real
// half would on the requesting runner. Cancellations are recorded.
//
// Thread-safety: none; used on one thread like the real ones.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ov_proxy_resolver.h"

namespace ovtest {

class FakeAsyncResolver : public OVProxy::ovProxyAsyncResolver {
 public:
  struct Log {
    std::vector<std::string> resolved;
    std::vector<std::string> cancelled;
    int cancel_all = 0;
    bool destroyed = false;
  };

  FakeAsyncResolver(uint32_t kind, std::shared_ptr<Log> log) : kind_(kind), log_(std::move(log)) {}
  ~FakeAsyncResolver() override { log_->destroyed = true; }

  void SetResolveAnswer(OVProxy::eErrorCode code) { resolve_answer_ = code; }
  void SetInitializeAnswer(OVProxy::eErrorCode code) { initialize_answer_ = code; }
  void SetAvailable(bool available) { available_ = available; }

  // Answers `requestId` through the delegate with this half's kind.
  void Complete(const std::string& requestId, OVProxy::eErrorCode error,
                const std::string& answer = "p:8080") {
    std::shared_ptr<OVProxy::ovProxyInfo> result;
    if (error == OVProxy::e_success) {
      result = std::make_shared<OVProxy::ovProxyInfo>();
      result->UseNamedProxy(answer);
    }
    if (delegate_) delegate_->onResolveComplete(requestId, result, error, kind_);
  }

  OVProxy::eErrorCode initialize() override { return initialize_answer_; }
  OVProxy::eErrorCode uninitialize() override { return OVProxy::e_success; }
  OVProxy::eErrorCode resolve(const std::string& requestId, const std::string&, const std::string&,
                              std::shared_ptr<OVProxy::ovProxyConfig>,
                              OVProxy::ovProxyInfo&) override {
    log_->resolved.push_back(requestId);
    return resolve_answer_;
  }
  std::string getName() override { return "FakeAsync" + std::to_string(kind_); }
  bool isAvailable() override { return available_; }
  OVProxy::eErrorCode cancelRequest(const std::string& requestId) override {
    log_->cancelled.push_back(requestId);
    return OVProxy::e_success;
  }
  void cancelAllRequests() override { ++log_->cancel_all; }
  void setDelegate(OVProxy::ovProxyResolverDelegate* delegate) override { delegate_ = delegate; }
  OVProxy::ovProxyResolverDelegate* getDelegate() override { return delegate_; }

 private:
  const uint32_t kind_;
  std::shared_ptr<Log> log_;
  OVProxy::eErrorCode resolve_answer_ = OVProxy::e_pending;
  OVProxy::eErrorCode initialize_answer_ = OVProxy::e_success;
  bool available_ = true;
  OVProxy::ovProxyResolverDelegate* delegate_ = nullptr;
};

}  // namespace ovtest
