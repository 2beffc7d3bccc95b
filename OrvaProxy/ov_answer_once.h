// AnswerExactlyOnce: wraps a caller's ResolveCallback so that the caller
// hears about its request exactly once. The first call goes through; later
// calls are ignored. When the last copy of the wrapper is destroyed without
// having been called (the request was cancelled, dropped with the runner's
// queued work at uninitialize, or released by a resolver that never
// answered) the caller gets an empty answer with `unansweredCode` then.
//
// Thread: the wrapper may be called and destroyed on any thread; the answer
// runs on the thread that calls it, or on the one that drops the last copy
// (normally the resolve runner; at uninitialize the thread that tore the
// subsystem down).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "OrvaProxy/ov_error_code.h"
#include "OrvaProxy/ov_proxy_resolve_task.h"

namespace OVProxy {

// The shared state behind one wrapper. Disarm marks it answered without
// calling anybody (a request its caller was told was refused).
class ovAnswerOnce : public std::enable_shared_from_this<ovAnswerOnce> {
 public:
  static std::shared_ptr<ovAnswerOnce> Make(std::string requestId, ResolveCallback callback,
                                            eErrorCode unansweredCode = e_cancelled);
  ovAnswerOnce(std::string requestId, ResolveCallback callback, eErrorCode unansweredCode);
  ~ovAnswerOnce();
  ovAnswerOnce(const ovAnswerOnce&) = delete;
  ovAnswerOnce& operator=(const ovAnswerOnce&) = delete;

  // A callback that shares this state.
  ResolveCallback callback();
  void answer(const std::string& requestId, const ovProxyInfo& info, eErrorCode error);
  void disarm();

 private:
  const std::string request_id_;
  ResolveCallback callback_;
  const eErrorCode unanswered_code_;
  std::atomic<bool> answered_{false};
};

ResolveCallback AnswerExactlyOnce(std::string requestId, ResolveCallback callback,
                                  eErrorCode unansweredCode = e_cancelled);

}  // namespace OVProxy
