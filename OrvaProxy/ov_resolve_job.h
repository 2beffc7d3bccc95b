// ovResolveJob: one unit of work for an ovExecutor. It is started on the
// origin runner (the runner of whoever created it, or of whoever started it
// when that had none), runs on the executor's runner and posts its completion
// back to the origin runner as the task "OV_Proxy_JobComplete", keyed by the
// executor's runner name so that stopping the executor drops it.
//
// Completion delivery falls back in this order: the origin runner,
// "main.thread.runner", and last the executor's own thread (inline), which is
// reported to telemetry (event 39, code 8, value 1001).
//
// The two kinds: ovGetProxyForURLJob resolves one URL with the executor's
// resolver and hands the answer to its callback; ovCreateResolverJob makes
// the executor's resolver and does nothing else (the multi proxy resolver
// starts one on every new executor, named "create_resolver_" and the number).
//
// Thread: constructed and started on the origin runner; Run on the
// executor's runner; the completion on the origin runner. cancel may be
// called from any thread.
// Lifetime: shared. The posted tasks hold the job strongly (it lives until
// its completion ran or was dropped) and the executor weakly.
// Cancellation: cancel suppresses the result callback and interrupts a PAC
// evaluation the job is running (js_interrupt.h); the completion still runs
// so that the executor becomes idle.
// Exactly once: a job is answered by its completion, or by fail when it can
// never run, and the callback is released after its one call.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_error_code.h"
#include "tavbiz/ov_proxy_info.h"

namespace OVProxy {

class ovExecutor;

class ovResolveJob : public std::enable_shared_from_this<ovResolveJob> {
 public:
  static constexpr const char* kCompletionTaskName = "OV_Proxy_JobComplete";
  // Telemetry of a completion that no runner accepted.
  static constexpr int32_t kInlineCompletionEventCode = 8;
  static constexpr int64_t kInlineCompletionEventValue = 1001;

  // Remembers the calling thread's runner (possibly none) as the origin.
  explicit ovResolveJob(std::string requestId);
  virtual ~ovResolveJob();
  ovResolveJob(const ovResolveJob&) = delete;
  ovResolveJob& operator=(const ovResolveJob&) = delete;

  virtual void cancel();
  // On the executor's runner; `originRunner` is where the completion goes.
  virtual void Run(const std::string& originRunner) = 0;
  // For a job that no executor will ever run, on the origin runner in place
  // of Run and its completion: a job with a result callback answers `error`
  // with an empty answer (unless cancelled). Does nothing for a job that
  // has no answer to give.
  virtual void fail(eErrorCode error);

  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
  // Set once the job is cancelled; lives as long as the job.
  const std::atomic<bool>* cancelFlag() const { return &cancelled_; }
  const std::string& getRequestId() const { return request_id_; }
  // The runner that created the job; empty when it was created on a thread
  // that serves none.
  const std::string& getCreatorRunner() const { return creator_runner_; }

  // Attaches the job to `executor` and copies its runner name (emptied when
  // the executor is gone).
  void setExecutor(std::weak_ptr<ovExecutor> executor);
  std::shared_ptr<ovExecutor> lockExecutor() const { return executor_.lock(); }
  const std::string& getExecutorRunnerName() const { return executor_runner_name_; }

  // Tells the executor, when it still exists, that this job is done.
  void notifyJobDone();

 protected:
  // Posts `completion` to `originRunner` (or "main.thread.runner" when that
  // is empty), then to "main.thread.runner". False when it is empty, there is
  // no task manager, or neither runner took it (reported to telemetry).
  bool PostCompletionToOriginRunner(const std::string& originRunner,
                                    std::function<void()> completion);
  // The same, running `completion` inline when it could not be posted.
  void PostOrRunCompletion(const std::string& originRunner, std::function<void()> completion);

 private:
  std::weak_ptr<ovExecutor> executor_;
  std::string executor_runner_name_;
  std::atomic<bool> cancelled_{false};
  const std::string request_id_;
  const std::string creator_runner_;
};

}  // namespace OVProxy
