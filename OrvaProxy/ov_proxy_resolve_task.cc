#include "OrvaProxy/ov_proxy_resolve_task.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "OrvaProxy/ov_task_constants.h"
#include "orvatask/orva_task.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {
namespace {

constexpr const char* kDeliveryTaskName = "ovProxyResolveTask_invokeCallback";
constexpr const char* kWrapperUniqueKeyName = "proxy_resolve_wrapper_uk_key";

// What a posted delivery carries: its own copies, never the task.
struct Delivery {
  std::string request_id;
  ovProxyInfo answer;
  eErrorCode error;
  ResolveCallback callback;

  void run() { deliverResult(request_id, std::move(answer), error, std::move(callback)); }
};

std::string NextTaskKey() {
  static std::atomic<uint64_t> serial{0};
  char text[24];
  std::snprintf(text, sizeof text, "rq%016" PRIx64,
                serial.fetch_add(1, std::memory_order_relaxed) + 1);
  return text;
}

}  // namespace

void appendDirectFallback(ovProxyInfo& answer, eErrorCode error) {
  if (error != e_success) return;
  if (answer.Count() == 1 && answer.is_direct()) return;
  if (answer.Count() >= 2) {
    for (const ovProxyServer& server : answer.servers()) {
      if (server.scheme == ovProxyServer::kSchemeDirect) return;
    }
  }
  answer.AddProxyServer(ovProxyServer::CreateDirect());
}

void deliverResult(const std::string& requestId, ovProxyInfo answer, eErrorCode error,
                   ResolveCallback callback) {
  if (!callback) return;
  appendDirectFallback(answer, error);
  // Released on return, together with whatever it captured.
  ResolveCallback released = std::move(callback);
  released(requestId, answer, error);
}

ovProxyResolveTask::ovProxyResolveTask(std::string requestId, std::string url, std::string extra,
                                       ResolveCallback callback,
                                       std::shared_ptr<ovProxyConfig> config, int32_t timeoutMs)
    : request_id_(std::move(requestId)),
      key_(NextTaskKey()),
      url_(std::move(url)),
      extra_(std::move(extra)),
      start_time_ns_(Tav::TimeTicks::NowNs()),
      timeout_ms_(timeoutMs),
      callback_(std::move(callback)),
      config_(std::move(config)) {}

void ovProxyResolveTask::setResult(std::shared_ptr<ovProxyInfo> result, eErrorCode error) {
  result_ = std::move(result);
  error_ = error;
  state_ = State::Completed;
}

void ovProxyResolveTask::setErrorDetail(eErrorCode code, std::string text) {
  error_detail_code_ = code;
  error_detail_text_ = std::move(text);
}

eErrorCode ovProxyResolveTask::start() {
  if (!resolver_) {
    setErrorDetail(e_unavailable, "No proxy resolver configured, cannot start");
    setResult(nullptr, e_unavailable);
    return e_unavailable;
  }
  if (cancelled_) {
    setErrorDetail(e_cancelled, "Task cancelled before start");
    return e_cancelled;
  }
  state_ = State::Running;
  // Held for the call, in case the resolver's own code drops the task's hold.
  const std::shared_ptr<ovProxyResolver> resolver = resolver_;
  const std::string name = resolver->getName();
  ovProxyInfo answer;
  const eErrorCode code = resolver->resolve(key_, url_, extra_, config_, answer);
  if (code == e_success) {
    setResult(std::make_shared<ovProxyInfo>(std::move(answer)), e_success);
    return e_success;
  }
  if (code == e_pending) return e_pending;
  setErrorDetail(code, "Resolution failed with resolver " + name);
  setResult(nullptr, code);
  return code;
}

void ovProxyResolveTask::cancel() {
  if (cancelled_) return;
  cancelled_ = true;
  if (resolver_ && state_ == State::Running) resolver_->cancelResolve(key_);
}

bool ovProxyResolveTask::isTimedOut() const {
  if (timeout_ms_ < 1) return false;
  const int64_t elapsed_ms = (Tav::TimeTicks::NowNs() - start_time_ns_) / 1'000'000;
  return elapsed_ms >= timeout_ms_;
}

void ovProxyResolveTask::invokeCallback() {
  if (callback_invoked_ || !callback_) return;
  callback_invoked_ = true;

  // An answer without a result is never a success, whoever completed the
  // task (or failed to).
  const eErrorCode error = (!result_ && error_ == e_success) ? e_unavailable : error_;
  auto delivery = std::make_shared<Delivery>(
      Delivery{request_id_, result_ ? *result_ : ovProxyInfo(), error, callback_});
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager && !request_id_.empty()) {
    OrvaTask::TaskPtr task = OrvaTask::CreateOrvaTask(
        {.name = kDeliveryTaskName,
         .location = OrvaTask::SourceLocation::Current(),
         .value = kResolveTaskGroup,
         .unique_keys = {OrvaTask::GenerateUniqueKey(kWrapperUniqueKeyName),
                         OrvaTask::GenerateUniqueKey(key_)}},
        [delivery] { delivery->run(); });
    if (manager->PostTask(kResolveRunnerName, task)) return;
  }
  delivery->run();
}

}  // namespace OVProxy
