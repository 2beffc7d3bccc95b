#include "OrvaProxy/ov_multi_proxy_resolver.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <utility>

#include "OrvaProxy/ov_create_resolver_job.h"
#include "OrvaProxy/ov_get_proxy_for_url_job.h"
#include "OrvaProxy/ov_log.h"

namespace OVProxy {

struct ovMultiProxyResolver::Delivery {
  // Held while the delegate is called, so that closing waits for a call in
  // progress on another thread. Recursive: the delegate may resolve again or
  // destroy the resolver from within the call.
  std::recursive_mutex mutex;
  bool open = true;  // guarded by mutex
  std::atomic<ovProxyResolverDelegate*> delegate{nullptr};

  void deliver(const std::string& requestId, const ovProxyInfo& info, eErrorCode error) {
    std::lock_guard lock(mutex);
    ovProxyResolverDelegate* target = delegate.load(std::memory_order_acquire);
    if (!open || !target) return;
    target->onResolveComplete(requestId, std::make_shared<ovProxyInfo>(info), error, kResolverKind);
  }

  void close() {
    std::lock_guard lock(mutex);
    open = false;
  }
};

ovMultiProxyResolver::ovMultiProxyResolver(std::shared_ptr<ovProxyResolverFactory> factory,
                                           std::size_t maxExecutors)
    : factory_(std::move(factory)),
      max_executors_(std::clamp<std::size_t>(maxExecutors, 1, kMaxExecutors)),
      delivery_(std::make_shared<Delivery>()) {}

ovMultiProxyResolver::~ovMultiProxyResolver() {
  delivery_->close();
  std::deque<std::shared_ptr<ovResolveJob>> pending;
  std::vector<std::shared_ptr<ovExecutor>> executors;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    pending.swap(pending_);
    executors.swap(executors_);
  }
  // Outside the lock: stop waits for a completion that is telling this
  // object, on another thread, that an executor became idle.
  for (const std::shared_ptr<ovExecutor>& executor : executors) executor->stop();
}

eErrorCode ovMultiProxyResolver::resolve(const std::string& requestId, const std::string& url,
                                         const std::string& extra,
                                         std::shared_ptr<ovProxyConfig> config,
                                         ovProxyInfo& result) {
  (void)result;
  if (!factory_) {
    ovLog(LogLevel::kError, "MULTI_NOFAC", "MultiProxyResolver: No factory available");
    return e_resolver_not_initialized;
  }
  if (!config) {
    ovLog(LogLevel::kError, "MULTI_NOCFG", "MultiProxyResolver: No proxy config provided");
    return e_invalid_argument;
  }
  if (url.empty()) {
    ovLog(LogLevel::kError, "MULTI_NOURL", "MultiProxyResolver: Empty URL provided");
    return e_invalid_argument;
  }

  std::shared_ptr<ovGetProxyForURLJob> job;
  try {
    job = std::make_shared<ovGetProxyForURLJob>(
        requestId, url, extra, std::move(config),
        [delivery = delivery_](eErrorCode error, const ovProxyInfo& info, const std::string& id) {
          delivery->deliver(id, info, error);
        });
  } catch (const std::exception&) {
    job.reset();
  }
  if (!job) {
    ovLog(LogLevel::kError, "MULTI_JOBCR", "MultiProxyResolver: Failed to create resolution job");
    return e_failed;
  }

  std::vector<std::shared_ptr<ovExecutor>> retired;
  eErrorCode code = e_pending;
  {
    std::lock_guard lock(mutex_);
    bool started = false;
    if (pending_.empty()) {
      for (auto it = executors_.begin(); it != executors_.end();) {
        if (!(*it)->isIdle()) {
          ++it;
          continue;
        }
        if ((*it)->StartJob(job)) {
          started = true;
          break;
        }
        // An idle executor that refuses work never becomes idle again, so it
        // would never take a queued job either: it leaves the pool.
        ovLog(LogLevel::kError, "MULTI_START",
              "MultiProxyResolver: Failed to start job on executor");
        retired.push_back(std::move(*it));
        it = executors_.erase(it);
      }
    }
    if (!started) {
      pending_.push_back(job);
      if (executors_.size() < max_executors_) addExecutorLocked();
      // Every executor left is busy and will come back for the queue; with
      // none at all the request would wait forever, so it is refused here.
      if (executors_.empty()) {
        pending_.pop_back();
        ovLog(LogLevel::kError, "MULTI_NOEXE",
              "MultiProxyResolver: No executor can run the request - id=" + requestId);
        code = e_resolver_not_initialized;
      }
    }
  }
  // Outside the lock, as in the destructor.
  for (const std::shared_ptr<ovExecutor>& executor : retired) executor->stop();
  return code;
}

void ovMultiProxyResolver::addExecutorLocked() {
  if (!factory_ || closed_) return;
  const auto number = static_cast<uint32_t>(executors_.size());
  auto executor = std::make_shared<ovExecutor>(this, number, factory_);
  auto first_job = std::make_shared<ovCreateResolverJob>(ovCreateResolverJob::kRequestIdPrefix +
                                                         std::to_string(number));
  // Not started: dropped (its destructor removes the runner); a later
  // attempt reuses the number.
  if (executor->StartJob(std::move(first_job))) executors_.push_back(std::move(executor));
}

void ovMultiProxyResolver::onExecutorIdle(ovExecutor& executor) {
  std::shared_ptr<ovExecutor> retired;
  std::deque<std::shared_ptr<ovResolveJob>> unrunnable;
  {
    std::lock_guard lock(mutex_);
    while (!closed_ && !pending_.empty()) {
      std::shared_ptr<ovResolveJob> job = std::move(pending_.front());
      pending_.pop_front();
      if (!job || job->isCancelled()) continue;
      if (executor.StartJob(job)) return;
      // The executor refuses work (its runner is gone): the job goes back to
      // the front and the executor leaves the pool, making room for a new
      // one. Without any executor the queue can never run and is answered.
      ovLog(LogLevel::kError, "MULTI_START", "MultiProxyResolver: Failed to start job on executor");
      pending_.push_front(std::move(job));
      const auto it = std::find_if(
          executors_.begin(), executors_.end(),
          [&executor](const std::shared_ptr<ovExecutor>& held) { return held.get() == &executor; });
      if (it != executors_.end()) {
        retired = std::move(*it);
        executors_.erase(it);
      }
      if (executors_.size() < max_executors_) addExecutorLocked();
      if (executors_.empty()) {
        ovLog(LogLevel::kError, "MULTI_NOEXE",
              "MultiProxyResolver: No executor can run the request - queued=" +
                  std::to_string(pending_.size()));
        unrunnable.swap(pending_);
      }
      break;
    }
  }
  // This thread is inside the executor's own completion, so stopping it here
  // waits for nothing.
  if (retired) retired->stop();
  // Last: the delegate may destroy this resolver from within an answer.
  for (const std::shared_ptr<ovResolveJob>& job : unrunnable) job->fail(e_resolver_not_initialized);
}

bool ovMultiProxyResolver::cancelQueuedLocked(const std::string& requestId) {
  const auto it =
      std::find_if(pending_.begin(), pending_.end(), [&](const std::shared_ptr<ovResolveJob>& job) {
        return job && job->getRequestId() == requestId;
      });
  if (it == pending_.end()) return false;
  (*it)->cancel();
  pending_.erase(it);
  return true;
}

void ovMultiProxyResolver::cancelResolve(const std::string& requestId) {
  std::lock_guard lock(mutex_);
  cancelQueuedLocked(requestId);
}

eErrorCode ovMultiProxyResolver::cancelRequest(const std::string& requestId) {
  std::lock_guard lock(mutex_);
  if (cancelQueuedLocked(requestId)) return e_success;
  for (const std::shared_ptr<ovExecutor>& executor : executors_) {
    const std::shared_ptr<ovResolveJob> job = executor->currentJob();
    if (job && job->getRequestId() == requestId) {
      job->cancel();
      return e_success;
    }
  }
  return e_failed;
}

void ovMultiProxyResolver::cancelAllRequests() {
  std::lock_guard lock(mutex_);
  for (const std::shared_ptr<ovResolveJob>& job : pending_) {
    if (job) job->cancel();
  }
  pending_.clear();
  for (const std::shared_ptr<ovExecutor>& executor : executors_) {
    if (const std::shared_ptr<ovResolveJob> job = executor->currentJob()) job->cancel();
  }
}

void ovMultiProxyResolver::setDelegate(ovProxyResolverDelegate* delegate) {
  delivery_->delegate.store(delegate, std::memory_order_release);
}

ovProxyResolverDelegate* ovMultiProxyResolver::getDelegate() {
  return delivery_->delegate.load(std::memory_order_acquire);
}

std::size_t ovMultiProxyResolver::pendingCount() {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

std::vector<std::shared_ptr<ovExecutor>> ovMultiProxyResolver::executors() {
  std::lock_guard lock(mutex_);
  return executors_;
}

}  // namespace OVProxy
