#include "OrvaProxy/ov_resolve_job.h"

#include <utility>

#include "OrvaProxy/oPACParser/js_interrupt.h"
#include "OrvaProxy/ov_create_resolver_job.h"
#include "OrvaProxy/ov_executor.h"
#include "OrvaProxy/ov_get_proxy_for_url_job.h"
#include "OrvaProxy/ov_telemetry_reporter.h"
#include "orvatask/orva_task.h"

namespace OVProxy {

ovResolveJob::ovResolveJob(std::string requestId)
    : request_id_(std::move(requestId)),
      creator_runner_(OrvaTask::GetRunnerNameOfCurrentThread()) {}

ovResolveJob::~ovResolveJob() = default;

void ovResolveJob::cancel() {
  cancelled_.exchange(true, std::memory_order_acq_rel);
}

void ovResolveJob::fail(eErrorCode /*error*/) {}

void ovResolveJob::setExecutor(std::weak_ptr<ovExecutor> executor) {
  executor_ = std::move(executor);
  const std::shared_ptr<ovExecutor> alive = executor_.lock();
  executor_runner_name_ = alive ? alive->getRunnerName() : std::string();
}

void ovResolveJob::notifyJobDone() {
  if (const std::shared_ptr<ovExecutor> executor = executor_.lock()) executor->onJobComplete(this);
}

bool ovResolveJob::PostCompletionToOriginRunner(const std::string& originRunner,
                                                std::function<void()> completion) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  std::shared_ptr<ovResolveJob> self = weak_from_this().lock();
  // A job not owned by a shared pointer cannot be kept alive by a task.
  if (!completion || !manager || !self) return false;
  const std::string target = originRunner.empty() ? OrvaTask::kMainRunnerName : originRunner;

  OrvaTask::UniqueKeySet keys;
  if (!executor_runner_name_.empty()) {
    keys.push_back(OrvaTask::GenerateUniqueKey(executor_runner_name_));
  }
  // The task holds the job, so that it lives until its completion ran.
  OrvaTask::TaskPtr task = OrvaTask::CreateOrvaTask(
      {.name = kCompletionTaskName,
       .location = OrvaTask::SourceLocation::Current(),
       .value = ovExecutor::kTaskValue,
       .unique_keys = std::move(keys)},
      [self = std::move(self), completion = std::move(completion)] { completion(); });
  if (manager->PostTask(target, task)) return true;
  if (target != OrvaTask::kMainRunnerName && manager->PostTask(OrvaTask::kMainRunnerName, task)) {
    return true;
  }
  ovTelemetryReporter::GetInstance().reportEvent(kInlineCompletionEventCode,
                                                 kInlineCompletionEventValue);
  return false;
}

void ovResolveJob::PostOrRunCompletion(const std::string& originRunner,
                                       std::function<void()> completion) {
  // A refused post leaves the task unrun, and with it this copy.
  std::function<void()> inline_copy = completion;
  if (!PostCompletionToOriginRunner(originRunner, std::move(completion)) && inline_copy) {
    inline_copy();
  }
}

ovGetProxyForURLJob::ovGetProxyForURLJob(std::string requestId, std::string url, std::string extra,
                                         std::shared_ptr<ovProxyConfig> config,
                                         JobCallback callback)
    : ovResolveJob(std::move(requestId)),
      url_(std::move(url)),
      extra_(std::move(extra)),
      config_(std::move(config)),
      callback_(std::move(callback)) {}

ovGetProxyForURLJob::~ovGetProxyForURLJob() = default;

void ovGetProxyForURLJob::Run(const std::string& originRunner) {
  if (isCancelled()) {
    PostOrRunCompletion(originRunner, [this] { notifyJobDone(); });
    return;
  }
  // Both held until the completion is on its way: the executor may be
  // stopped meanwhile, and the resolver must outlive its evaluation.
  const std::shared_ptr<ovExecutor> executor = lockExecutor();
  const std::shared_ptr<ovProxyResolver> resolver =
      executor ? executor->acquireResolver() : nullptr;
  if (!resolver) {
    PostOrRunCompletion(originRunner,
                        [this] { complete(e_resolver_not_initialized, ovProxyInfo()); });
    return;
  }
  ovProxyInfo info;
  eErrorCode error = e_invalid_argument;
  if (config_) {
    // Cancelling the job (its request went, or the executor stops) ends an
    // evaluation in progress instead of waiting out its time bound.
    const js_interrupt_scope interruptible(cancelFlag());
    error = resolver->resolve(getRequestId(), url_, extra_, config_, info);
  }
  PostOrRunCompletion(originRunner,
                      [this, error, info = std::move(info)] { complete(error, info); });
}

void ovGetProxyForURLJob::complete(eErrorCode error, const ovProxyInfo& info) {
  // Taken out, so that it runs at most once and what it holds is released.
  JobCallback callback = std::move(callback_);
  callback_ = nullptr;
  if (!isCancelled() && callback) callback(error, info, getRequestId());
  notifyJobDone();
}

ovCreateResolverJob::ovCreateResolverJob(std::string requestId)
    : ovResolveJob(std::move(requestId)) {}

ovCreateResolverJob::~ovCreateResolverJob() = default;

void ovCreateResolverJob::Run(const std::string& originRunner) {
  if (!isCancelled()) {
    if (const std::shared_ptr<ovExecutor> executor = lockExecutor()) executor->acquireResolver();
  }
  PostOrRunCompletion(originRunner, [this] { notifyJobDone(); });
}

}  // namespace OVProxy
