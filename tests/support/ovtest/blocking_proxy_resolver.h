// Fakes for code that runs resolvers on other threads (the executors of the
// multi proxy resolver), driven by hand so that tests need no sleeps.
//
// BlockingResolverFactory makes synchronous resolvers that share its state:
// creation can be held (createResolver waits until ReleaseCreation) or made
// to fail; resolves can be held (each waits until its request id is
// released); the test waits for a creation or a resolve to have begun. It
// records which runner resolved each request. The state outlives the
// factory, so resolvers still alive on other threads stay safe.
//
// RecordingResolverDelegate records onResolveComplete calls, with the runner
// that made each, and lets the test wait for them.
//
// Waits give up after kWaitLimit and answer false (a hang guard, not a
// timing assumption). Thread-safety: every member may be called from any
// thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "OrvaProxy/ov_proxy_resolver.h"

namespace ovtest {

inline constexpr std::chrono::seconds kWaitLimit{30};

class BlockingResolverFactory : public OVProxy::ovProxyResolverFactory {
 public:
  BlockingResolverFactory();
  ~BlockingResolverFactory() override;
  BlockingResolverFactory(const BlockingResolverFactory&) = delete;
  BlockingResolverFactory& operator=(const BlockingResolverFactory&) = delete;

  std::unique_ptr<OVProxy::ovProxyResolver> createResolver() override;

  // createResolver waits from now until ReleaseCreation.
  void HoldCreation();
  void ReleaseCreation();
  // createResolver answers null.
  void FailCreation(bool fail);
  // Until `count` calls of createResolver have begun.
  bool WaitForCreationCalls(std::size_t count);
  std::size_t creationCalls() const;
  // Until no resolver made is alive.
  bool WaitForNoLiveResolvers();

  // resolve waits from now until its request id is released.
  void HoldResolves();
  // Lets the resolve of `requestId` answer (also when it has not begun).
  void Release(const std::string& requestId);
  // Lets every resolve answer, now and later.
  void ReleaseAll();
  // The answer of every resolve.
  void SetAnswer(OVProxy::eErrorCode code, const OVProxy::ovProxyInfo& answer);
  // Until the resolve of `requestId` has begun.
  bool WaitUntilResolving(const std::string& requestId);
  // Request ids in the order their resolves began, and the runner of each.
  std::vector<std::string> started() const;
  std::vector<std::string> startedOn() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

class RecordingResolverDelegate : public OVProxy::ovProxyResolverDelegate {
 public:
  struct Answer {
    std::string request_id;
    std::shared_ptr<OVProxy::ovProxyInfo> result;
    OVProxy::eErrorCode error = OVProxy::e_success;
    uint32_t resolver_kind = 0;
    std::string runner;  // the runner that called onResolveComplete
  };

  RecordingResolverDelegate();
  ~RecordingResolverDelegate() override;

  void onResolveComplete(const std::string& requestId, std::shared_ptr<OVProxy::ovProxyInfo> result,
                         OVProxy::eErrorCode error, uint32_t resolverKind) override;

  // Called after each answer is recorded, on the answering thread; set it
  // before the first answer can arrive.
  void SetHook(std::function<void(const Answer&)> hook);

  bool WaitForAnswers(std::size_t count);
  std::vector<Answer> answers() const;
  std::vector<std::string> answeredIds() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ovtest
