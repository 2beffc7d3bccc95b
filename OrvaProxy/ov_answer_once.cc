#include "OrvaProxy/ov_answer_once.h"

#include <utility>

namespace OVProxy {

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
  // than never.
  if (!answered_.exchange(true) && callback_) {
    deliverResult(request_id_, ovProxyInfo(), unanswered_code_, std::move(callback_));
  }
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
