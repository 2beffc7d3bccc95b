// AnswerExactlyOnce: wraps a caller's ResolveCallback so that the caller
// hears about its request exactly once. The first call goes through; later
// calls are ignored. When the last copy of the wrapper is destroyed without
// having been called (the request was cancelled, dropped by uninitialize, or
// released by a resolver that never answered) the caller gets an empty
// answer with `unansweredCode`.
//
// Thread: the wrapper may be called and destroyed on any thread. A call
// answers on the calling thread. The answer of an unanswered wrapper is
// posted to "proxy_resolve_runner_name" as a task of its own, whichever
// thread dropped the last copy, so it never runs inside the operation that
// dropped the request (a client holding its own lock around uninitialize or
// cancelResolve cannot deadlock with its callback). The provider removes its
// runner only after such answers ran. Only when the task library is gone, or
// the runner was removed before the answer ran, does it run at once where it
// is dropped (logged as a warning).
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
