// ovProxyResolveTask: one resolution request in flight. It holds what was
// asked (request id, URL, the caller's extra string), how long the caller
// will wait, the resolver and configuration snapshot it runs with, what came
// out, and the caller's callback.
//
// The resolve service creates it, the controller assigns a resolver and
// starts it, and whoever finishes it calls invokeCallback, which hands the
// answer to the caller at most once over the task's life. Delivery is posted
// as its own work item ("ovProxyResolveTask_invokeCallback") to
// "proxy_resolve_runner_name", so a callback never runs inside the operation
// that completed the task; without a task manager, with an empty request id
// or when the post is refused, it runs inline on the calling thread instead,
// so an answer is never lost for those reasons. Posted delivery holds its own
// copies and does not keep the task alive. Posted delivery carries the
// unique keys of "proxy_resolve_wrapper_uk_key" (all of the subsystem's work)
// and of the task's own key (getKey), so it can be dropped with them.
//
// deliverResult is the one road by which any answer reaches a caller: it
// makes DIRECT the last resort of every successful answer
// (appendDirectFallback) and then calls the callback.
//
// Request ids are the callers' and may repeat: two requests in flight may
// carry one id. Each task therefore has a key of its own (getKey, a
// process-wide serial) under which everything inside the module knows it:
// the controller's maps, the resolvers and their jobs, and the unique key of
// its posted delivery. The caller's id only travels back in the callback.
//
// Thread: every operation runs on "proxy_resolve_runner_name"; the task has
// no lock. Lifetime: shared by the service's queue, the controller's maps and
// the callers of invokeCallback. Cancellation: cancel marks the task and
// cancels a running resolver request; a task cancelled before start refuses
// to start.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_error_code.h"
#include "OrvaProxy/ov_proxy_resolver.h"
#include "OrvaProxy/ov_resolve_callback.h"
#include "OrvaProxy/ov_resolve_trace.h"
#include "tavbiz/ov_proxy_info.h"

namespace OVProxy {

// Appends DIRECT to a successful answer that does not end in a way out, so
// that every successful answer holds at least one element: an empty one
// becomes DIRECT. Not to failures, a lone direct entry, or a list of two or
// more that already holds a "DIRECT" entry.
void appendDirectFallback(ovProxyInfo& answer, eErrorCode error);

// Applies appendDirectFallback and calls `callback` (if any) on the calling
// thread; the callback object is released before returning.
void deliverResult(const std::string& requestId, ovProxyInfo answer, eErrorCode error,
                   ResolveCallback callback);

class ovProxyResolveTask {
 public:
  enum class State : int32_t { Created = 0, Running = 1, Completed = 2 };

  // `timeoutMs` below 1 means the task never times out. The start time is
  // taken now from the monotonic clock.
  ovProxyResolveTask(std::string requestId, std::string url, std::string extra,
                     ResolveCallback callback, std::shared_ptr<ovProxyConfig> config,
                     int32_t timeoutMs);
  ovProxyResolveTask(const ovProxyResolveTask&) = delete;
  ovProxyResolveTask& operator=(const ovProxyResolveTask&) = delete;

  void setResolver(std::shared_ptr<ovProxyResolver> resolver) { resolver_ = std::move(resolver); }
  void setConfig(std::shared_ptr<ovProxyConfig> config) { config_ = std::move(config); }
  // Records the outcome (a null or empty result for failures) and completes
  // the task; the callback is not called here.
  void setResult(std::shared_ptr<ovProxyInfo> result, eErrorCode error);

  // Runs the resolver once: e_success (result recorded), e_pending (the
  // resolver reports later through its delegate), e_cancelled (cancelled
  // before start; nothing recorded), e_unavailable (no resolver) or the
  // resolver's failure code (recorded with a null result).
  eErrorCode start();
  void cancel();
  // Whether at least the time-out has passed since construction, in whole
  // milliseconds. Never for a time-out below 1.
  bool isTimedOut() const;
  // A task without a result delivers an empty answer with its error, and
  // e_unavailable in place of e_success.
  void invokeCallback();

  const std::string& getRequestId() const { return request_id_; }
  // This task's own key: "rq" and 16 hex digits of a process-wide serial,
  // so that keys sort in the order the tasks were made.
  const std::string& getKey() const { return key_; }
  const std::string& getUrl() const { return url_; }
  const std::string& getExtra() const { return extra_; }
  // Monotonic nanoseconds (Tav::TimeTicks::NowNs) at construction.
  int64_t getStartTime() const { return start_time_ns_; }
  int32_t getTimeoutMs() const { return timeout_ms_; }
  bool isCancelled() const { return cancelled_; }
  State getState() const { return state_; }
  const std::shared_ptr<ovProxyInfo>& getResult() const { return result_; }
  eErrorCode getError() const { return error_; }
  bool isCallbackInvoked() const { return callback_invoked_; }
  const std::shared_ptr<ovProxyResolver>& getResolver() const { return resolver_; }
  const std::shared_ptr<ovProxyConfig>& getConfig() const { return config_; }

  // Why the task ended as it did, when it failed (e_success and "" otherwise).
  void setErrorDetail(eErrorCode code, std::string text);
  eErrorCode getErrorDetailCode() const { return error_detail_code_; }
  const std::string& getErrorDetailText() const { return error_detail_text_; }

  // The record of this request's road; null unless a host asked for roads.
  void setTrace(std::shared_ptr<ovTraceRecord> trace) { trace_ = std::move(trace); }
  ovTraceRecord* trace() const { return trace_.get(); }

 private:
  std::string request_id_;
  std::string key_;
  std::string url_;
  std::string extra_;
  int64_t start_time_ns_;
  int32_t timeout_ms_;
  bool cancelled_ = false;
  State state_ = State::Created;
  std::shared_ptr<ovProxyInfo> result_;
  // Until a result is recorded the task has no answer to give.
  eErrorCode error_ = e_unavailable;
  ResolveCallback callback_;
  bool callback_invoked_ = false;
  std::shared_ptr<ovProxyResolver> resolver_;
  std::shared_ptr<ovProxyConfig> config_;
  eErrorCode error_detail_code_ = e_success;
  std::string error_detail_text_;
  std::shared_ptr<ovTraceRecord> trace_;
};

}  // namespace OVProxy
