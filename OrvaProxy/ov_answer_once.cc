#include "OrvaProxy/ov_answer_once.h"

#include <utility>

#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_task_constants.h"
#include "orvatask/orva_task.h"

namespace OVProxy {
namespace {

// The answer of a request that went unanswered, on its way to the runner.
// Dropped before it ran (the runner was removed under it, or the task
// manager shut down), it answers where it is dropped rather than never.
class PendingCancellation {
 public:
  PendingCancellation(std::string requestId, ResolveCallback callback, eErrorCode code)
      : request_id_(std::move(requestId)), callback_(std::move(callback)), code_(code) {}
  ~PendingCancellation() {
    if (!callback_) return;
    ovLog(LogLevel::kWarning, "ANSW_DROPPD",
          "ProxyResolveService: Unanswered request answered off the runner - requestId=" +
              request_id_);
    run();
  }
  PendingCancellation(const PendingCancellation&) = delete;
  PendingCancellation& operator=(const PendingCancellation&) = delete;

  void run() {
    if (callback_) deliverResult(request_id_, ovProxyInfo(), code_, std::move(callback_));
  }

 private:
  const std::string request_id_;
  ResolveCallback callback_;
  const eErrorCode code_;
};

}  // namespace

std::shared_ptr<ovAnswerOnce> ovAnswerOnce::Make(std::string requestId, ResolveCallback callback,
                                                 eErrorCode unansweredCode) {
  return std::make_shared<ovAnswerOnce>(std::move(requestId), std::move(callback), unansweredCode);
}

ovAnswerOnce::ovAnswerOnce(std::string requestId, ResolveCallback callback,
                           eErrorCode unansweredCode)
    : request_id_(std::move(requestId)),
      callback_(std::move(callback)),
      unanswered_code_(unansweredCode) {}

ovAnswerOnce::~ovAnswerOnce() {
  // The last copy went without an answer: the caller hears it now rather
  // than never, on the runner as every answer, and never inside the call that
  // dropped the request (an uninitialize, a cancel, a tear-down).
  if (answered_.exchange(true) || !callback_) return;
  auto pending =
      std::make_shared<PendingCancellation>(request_id_, std::move(callback_), unanswered_code_);
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (!manager) return;  // answered at once, by `pending` going
  // Neither grouped nor keyed: the subsystem's clean-up drops its work by
  // value and key, and this answer must outlive that clean-up.
  OrvaTask::TaskPtr task = OrvaTask::CreateOrvaTask(
      {.name = "ovProxyAnswerUnanswered", .location = OrvaTask::SourceLocation::Current()},
      [pending] { pending->run(); });
  manager->PostTask(kResolveRunnerName, task);
}

ResolveCallback ovAnswerOnce::callback() {
  return [self = shared_from_this()](const std::string& id, const ovProxyInfo& info,
                                     eErrorCode error) { self->answer(id, info, error); };
}

void ovAnswerOnce::answer(const std::string& requestId, const ovProxyInfo& info, eErrorCode error) {
  if (answered_.exchange(true)) return;
  // Released once called, so whatever the callback holds goes with it.
  ResolveCallback callback = std::move(callback_);
  if (callback) callback(requestId, info, error);
}

void ovAnswerOnce::disarm() {
  if (!answered_.exchange(true)) callback_ = nullptr;
}

ResolveCallback AnswerExactlyOnce(std::string requestId, ResolveCallback callback,
                                  eErrorCode unansweredCode) {
  if (!callback) return callback;
  return ovAnswerOnce::Make(std::move(requestId), std::move(callback), unansweredCode)->callback();
}

}  // namespace OVProxy
