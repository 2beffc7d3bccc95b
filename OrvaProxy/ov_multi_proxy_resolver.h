// ovMultiProxyResolver ("MultiProxyResolver"): the asynchronous resolver that
// evaluates PAC scripts off the caller's runner. Every accepted resolve
// becomes an ovGetProxyForURLJob run by one of up to eight ovExecutors, each
// with its own runner and a synchronous resolver made by the factory; the
// answer comes back through the delegate's onResolveComplete on the runner
// that called resolve, with resolver kind 1 and a never-empty result pointer
// (an empty answer on failures).
//
// Queueing: a request that finds an idle executor and an empty queue starts
// at once; every other request waits in a first-in-first-out queue that no
// later request overtakes. A request that had to queue adds an executor
// (runner "ProxyExecutorRunner<n>", first job "create_resolver_<n>") while
// fewer than the maximum exist; executors then stay until destruction. An
// executor that becomes idle takes the front of the queue.
//
// Exactly once: every request resolve accepted (e_pending) reaches the
// delegate once, unless it is cancelled or the resolver is destroyed first.
// An executor that refuses a job (its runner is gone, the task manager shut
// down) leaves the pool and a new one is made in its place; a request that
// no executor can run (no task manager, no runner can be created) is refused
// by resolve with e_resolver_not_initialized, and requests already queued
// then are answered with that code through the delegate.
//
// Cancellation: cancelResolve removes a queued request only; cancelRequest
// also cancels a running one (its answer is dropped); cancelAllRequests does
// both for every request. A cancelled request is never answered.
//
// Threads: resolve, the cancel operations and setDelegate are called on one
// runner (the resolve service's); the delegate is called there. The PAC
// evaluations run on the executors' runners. The queue and the executor list
// have a lock of their own, because a completion that no runner accepted
// runs on an executor's thread.
//
// Lifetime: the destructor may run on the calling runner, inside the
// delegate's onResolveComplete, or on another thread provided no resolve or
// cancel call runs at the same time; completions may still be running on the
// calling runner and evaluations on the executors. It closes delivery first
// (waiting for a delegate call in progress on another thread to return),
// then stops every executor: the queued requests are released unanswered,
// the runners removed, and the completion tasks bearing an executor's key
// dropped. Nothing reaches the delegate after the destructor returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaProxy/ov_executor.h"
#include "OrvaProxy/ov_proxy_resolver.h"

namespace OVProxy {

class ovGetProxyForURLJob;
class ovResolveJob;

class ovMultiProxyResolver : public ovProxyAsyncResolver, public ovExecutor::Coordinator {
 public:
  static constexpr std::size_t kMaxExecutors = 8;
  static constexpr uint32_t kResolverKind = 1;

  // `factory` makes each executor's resolver (null: every resolve answers
  // e_resolver_not_initialized). `maxExecutors` is clamped to 1..8.
  explicit ovMultiProxyResolver(std::shared_ptr<ovProxyResolverFactory> factory,
                                std::size_t maxExecutors = kMaxExecutors);
  ~ovMultiProxyResolver() override;
  ovMultiProxyResolver(const ovMultiProxyResolver&) = delete;
  ovMultiProxyResolver& operator=(const ovMultiProxyResolver&) = delete;

  eErrorCode initialize() override { return e_success; }
  eErrorCode uninitialize() override { return e_success; }
  // e_pending when accepted (`result` is not written); otherwise
  // e_resolver_not_initialized (no factory, or no executor can be started),
  // e_invalid_argument (no configuration, empty URL) or e_failed, with no
  // callback.
  eErrorCode resolve(const std::string& requestId, const std::string& url, const std::string& extra,
                     std::shared_ptr<ovProxyConfig> config, ovProxyInfo& result) override;
  std::string getName() override { return "MultiProxyResolver"; }
  bool isAvailable() override { return factory_ != nullptr; }
  // Queued requests only; a running one is not touched.
  void cancelResolve(const std::string& requestId) override;
  // e_success when a queued or running request was cancelled, else e_failed.
  eErrorCode cancelRequest(const std::string& requestId) override;
  void cancelAllRequests() override;
  void setDelegate(ovProxyResolverDelegate* delegate) override;
  ovProxyResolverDelegate* getDelegate() override;

  void onExecutorIdle(ovExecutor& executor) override;

  std::size_t maxExecutors() const { return max_executors_; }
  std::size_t pendingCount();
  std::vector<std::shared_ptr<ovExecutor>> executors();

 private:
  // Where answers go; shared with the jobs' callbacks, which outlive this
  // object when their completion is already on its way.
  struct Delivery;

  // Under mutex_.
  bool cancelQueuedLocked(const std::string& requestId);
  void addExecutorLocked();

  const std::shared_ptr<ovProxyResolverFactory> factory_;
  const std::size_t max_executors_;
  const std::shared_ptr<Delivery> delivery_;
  std::mutex mutex_;
  bool closed_ = false;
  std::deque<std::shared_ptr<ovResolveJob>> pending_;
  std::vector<std::shared_ptr<ovExecutor>> executors_;
};

}  // namespace OVProxy
