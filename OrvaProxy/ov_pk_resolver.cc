#include "OrvaProxy/ov_pk_resolver.h"

#include <utility>

#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_multi_proxy_resolver_factory.h"
#include "OrvaProxy/ov_resolve_trace.h"
#include "OrvaProxy/ov_winet_sync_proxy_resolver_factory.h"
#include "OrvaProxy/ov_winhttp_async_resolver.h"
#include "orvatask/orva_task.h"

namespace OVProxy {
namespace {

enum PKState : int32_t {
  kBothRunning = 0,
  kOneStarted = 1,
  kSucceeded = 2,
  kOneFailed = 3,
  kFailed = 4,
  kHeldDnsBlind = 5,
};

constexpr uint32_t kWinHttpKind = 0;
constexpr uint32_t kMultiKind = 1;

// For the road's record: which half answered, and what of the other one.
void NoteAnswer(const std::string& requestId, uint32_t kind, int32_t before, bool success) {
  const char* other = "cancelled";
  if (before == kOneStarted) other = "not started";
  if (before == kOneFailed) other = success ? "failed" : "failed too";
  // The in-process half answered without DNS and the system-shaped one was
  // waited for: it answered, or failed and the held answer went out.
  if (before == kHeldDnsBlind) other = kind == kWinHttpKind ? "answered without DNS" : "failed";
  if (before == kHeldDnsBlind && kind == kMultiKind && success) other = "too slow";
  const bool waited = before == kOneFailed || before == kHeldDnsBlind;
  ovTraceBook::Note(requestId, ovTraceStepKind::PkHalf,
                    {{"answered", kind == kWinHttpKind ? "system" : "in-process"},
                     {"other", other},
                     {"waited", waited ? "yes" : "no"}});
}

}  // namespace

ovPKResolver::ovPKResolver()
    : ovPKResolver([] { return createWinHttpAsyncResolver(); },
                   [](std::shared_ptr<ovProxyResolverFactory> factory) {
                     return ovMultiProxyResolverFactory(std::move(factory)).createAsyncResolver();
                   }) {}

ovPKResolver::ovPKResolver(WinHttpHalfMaker makeWinHttp, MultiHalfMaker makeMulti)
    : make_winhttp_(std::move(makeWinHttp)), make_multi_(std::move(makeMulti)) {}

ovPKResolver::~ovPKResolver() {
  uninitialize();
}

eErrorCode ovPKResolver::initialize() {
  if (initialized_) return e_success;
  if (make_winhttp_) winhttp_ = make_winhttp_();
  if (winhttp_) {
    winhttp_->setDelegate(this);
    if (winhttp_->initialize() != e_success) winhttp_.reset();
  }
  if (!winhttp_) {
    ovLog(LogLevel::kError, "PK_INIT_WIN",
          "ovPKResolver: Failed to initialize WinHttpAsyncResolver");
  }
  factory_ = std::make_shared<ovWinetSyncProxyResolverFactory>();
  if (make_multi_) multi_ = make_multi_(factory_);
  if (multi_) {
    multi_->setDelegate(this);
    if (multi_->initialize() != e_success) multi_.reset();
  }
  if (!multi_) {
    ovLog(LogLevel::kError, "PK_INIT_MUL", "ovPKResolver: Failed to initialize MultiProxyResolver");
  }
  initialized_ = true;
  return e_success;
}

eErrorCode ovPKResolver::uninitialize() {
  if (!initialized_) return e_success;
  cancelAllRequests();
  for (std::unique_ptr<ovProxyAsyncResolver>* half : {&winhttp_, &multi_}) {
    if (*half) {
      (*half)->uninitialize();
      half->reset();
    }
  }
  factory_.reset();
  requests_.clear();
  initialized_ = false;
  return e_success;
}

bool ovPKResolver::isAvailable() {
  return winhttp_ && multi_ && winhttp_->isAvailable() && multi_->isAvailable();
}

eErrorCode ovPKResolver::resolve(const std::string& requestId, const std::string& url,
                                 const std::string& extra, std::shared_ptr<ovProxyConfig> config,
                                 ovProxyInfo& result) {
  (void)result;
  if (!initialized_) {
    ovLog(LogLevel::kError, "PK_NOT_INIT", "ovPKResolver: Not initialized");
    return e_not_initialized;
  }
  // A half that fails inside resolve may report it before resolve returns;
  // without an entry that report is ignored, and the return value counts.
  requests_.erase(requestId);
  const auto start = [&](ovProxyAsyncResolver* half) {
    if (!half) return false;
    ovProxyInfo scratch;
    return half->resolve(requestId, url, extra, config, scratch) == e_pending;
  };
  const bool winhttp_started = start(winhttp_.get());
  const bool multi_started = start(multi_.get());

  if (!winhttp_started && !multi_started) {
    ovLog(LogLevel::kError, "PK_NO_START",
          "ovPKResolver: Both resolvers failed to start - requestId=" + requestId);
    if (winhttp_) winhttp_->cancelRequest(requestId);
    if (multi_) multi_->cancelRequest(requestId);
    return e_resolve_failed;
  }
  if (winhttp_started && multi_started) {
    requests_[requestId] =
        std::make_shared<PKRequestState>(PKRequestState{requestId, kBothRunning});
    return e_pending;
  }
  requests_[requestId] = std::make_shared<PKRequestState>(PKRequestState{requestId, kOneStarted});
  ovProxyAsyncResolver* idle = winhttp_started ? multi_.get() : winhttp_.get();
  if (idle) idle->cancelRequest(requestId);
  return e_pending;
}

eErrorCode ovPKResolver::cancelRequest(const std::string& requestId) {
  if (winhttp_) winhttp_->cancelRequest(requestId);
  if (multi_) multi_->cancelRequest(requestId);
  requests_.erase(requestId);
  return e_success;
}

void ovPKResolver::cancelAllRequests() {
  if (winhttp_) winhttp_->cancelAllRequests();
  if (multi_) multi_->cancelAllRequests();
  requests_.clear();
}

void ovPKResolver::cancelOtherHalf(const std::string& requestId, uint32_t answeringKind) {
  ovProxyAsyncResolver* other = nullptr;
  if (answeringKind == kWinHttpKind) other = multi_.get();
  if (answeringKind == kMultiKind) other = winhttp_.get();
  if (other) other->cancelRequest(requestId);
}

void ovPKResolver::onResolveComplete(const std::string& requestId,
                                     std::shared_ptr<ovProxyInfo> result, eErrorCode error,
                                     uint32_t resolverKind) {
  const auto it = requests_.find(requestId);
  if (it == requests_.end()) return;
  PKRequestState& request = *it->second;
  const bool success = error == e_success;
  const int32_t before = request.state;
  switch (request.state) {
    case kBothRunning:
      if (!success) {
        request.state = kOneFailed;
        return;
      }
      // An in-process answer made without the DNS its script asked for is
      // plainly wrong where the system-shaped half can look names up: it is
      // kept only for when that half fails.
      if (resolverKind == kMultiKind && result && result->dns_blind()) {
        request.state = kHeldDnsBlind;
        request.held = std::move(result);
        scheduleHoldEnd(it->second);
        return;
      }
      request.state = kSucceeded;
      cancelOtherHalf(requestId, resolverKind);
      break;
    case kHeldDnsBlind:
      request.state = kSucceeded;
      if (!success) {
        result = std::move(request.held);
        error = e_success;
        resolverKind = kMultiKind;
      }
      break;
    case kOneStarted:
      cancelOtherHalf(requestId, resolverKind);
      request.state = success ? kSucceeded : kFailed;
      break;
    case kOneFailed:
      request.state = success ? kSucceeded : kFailed;
      break;
    default:  // already answered
      return;
  }
  if (ovTraceBook::Active()) NoteAnswer(requestId, resolverKind, before, success);
  deliver(requestId, std::move(result), error, resolverKind);
}

void ovPKResolver::scheduleHoldEnd(const std::shared_ptr<PKRequestState>& request) {
  OrvaTask::IOVTManager* tasks = OrvaTask::GetOVTManager();
  const std::string runner = OrvaTask::GetRunnerNameOfCurrentThread();
  if (tasks == nullptr || runner.empty()) return;
  std::weak_ptr<int> alive = alive_;
  std::weak_ptr<PKRequestState> held = request;
  OrvaTask::TaskPtr task =
      OrvaTask::CreateOrvaTask({.name = "PKDnsBlindHoldEnd"}, [this, alive, held] {
        // Same runner as every other call: the resolver cannot go meanwhile.
        if (alive.expired()) return;
        std::shared_ptr<PKRequestState> state = held.lock();
        if (state && state->state == kHeldDnsBlind) endHold(*state);
      });
  tasks->PostDelayedTask(runner, task, kDnsBlindHold);
}

void ovPKResolver::endHold(PKRequestState& request) {
  const std::string id = request.request_id;
  ovLog(LogLevel::kInfo, "PK_HOLD_END",
        "ovPKResolver: System resolver too slow, answering without DNS - requestId=" + id);
  request.state = kSucceeded;
  std::shared_ptr<ovProxyInfo> held = std::move(request.held);
  cancelOtherHalf(id, kMultiKind);
  if (ovTraceBook::Active()) NoteAnswer(id, kMultiKind, kHeldDnsBlind, true);
  deliver(id, std::move(held), e_success, kMultiKind);
}

void ovPKResolver::deliver(const std::string& requestId, std::shared_ptr<ovProxyInfo> result,
                           eErrorCode error, uint32_t resolverKind) {
  // Forgotten first: the delegate may resolve the same id again, or destroy
  // this resolver, from within the call.
  // A copy: `requestId` may live in what the erase or the delegate frees.
  const std::string id = requestId;  // NOLINT(performance-unnecessary-copy-initialization)
  requests_.erase(id);
  if (delegate_) delegate_->onResolveComplete(id, std::move(result), error, resolverKind);
}

}  // namespace OVProxy
