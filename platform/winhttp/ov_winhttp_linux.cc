#include "platform/winhttp/ov_winhttp_linux.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/winhttp/ov_kept_scripts.h"
#include "platform/wpad/ov_wpad_discovery.h"

namespace ovplatform {
namespace {

// AsyncResult::api of a failed GetProxyForUrlEx.
constexpr uintptr_t kApiGetProxyForUrl = 1;

struct Session {
  WinHttpStatusCallback callback = nullptr;
  uint32_t flags = 0;
  WinHttpTimeouts timeouts;
};

// Fields other than the handle are guarded by State::mutex.
struct ResolverObject {
  WinHttpHandle handle = kNullHandle;
  WinHttpStatusCallback callback = nullptr;
  uint32_t flags = 0;
  std::shared_ptr<Session> session;
  bool busy = false;
  bool closed = false;
  bool has_result = false;
  ProxyResult result;
};

struct Job {
  std::shared_ptr<ResolverObject> resolver;
  std::string url;
  AutoProxyOptions options;
  uintptr_t context = 0;
  WinHttpTimeouts timeouts;
};

struct State {
  explicit State(LinuxWinHttpOptions opts)
      : options(std::move(opts)), kept(options.script_lifetime) {}

  const LinuxWinHttpOptions options;
  KeptScripts kept;
  std::atomic<bool> stopping{false};

  std::mutex mutex;
  std::condition_variable work;
  std::deque<Job> queue;
  std::size_t idle_workers = 0;
  std::map<WinHttpHandle, std::shared_ptr<Session>> sessions;
  std::map<WinHttpHandle, std::shared_ptr<ResolverObject>> resolvers;
  WinHttpHandle next_handle = 1;
};

PacEvaluation Evaluate(const State& state, const std::string& script, const std::string& url) {
  if (!state.options.evaluator) return PacEvaluation{false, {}, "no evaluator"};
  try {
    return state.options.evaluator(script, url);
  } catch (const std::exception& e) {
    return PacEvaluation{false, {}, e.what()};
  } catch (...) {
    return PacEvaluation{false, {}, "evaluator failed"};
  }
}

std::vector<std::string> ScriptUrls(const AutoProxyOptions& options) {
  std::vector<std::string> urls;
  if (options.flags & kAutoProxyAutoDetect) {
    uint32_t flags = 0;
    if (options.auto_detect_flags & kAutoDetectTypeDhcp) flags |= kWpadDetectDhcp;
    if (options.auto_detect_flags & kAutoDetectTypeDnsA) flags |= kWpadDetectDns;
    try {
      if (std::shared_ptr<WpadDiscovery> discovery = GetWpadDiscovery()) {
        WpadResult detected = discovery->Detect(flags);
        if (detected.found()) urls.push_back(std::move(detected.url));
      }
    } catch (...) {
      // A discovery that fails found nothing.
    }
  }
  if ((options.flags & kAutoProxyConfigUrl) && !options.auto_config_url.empty() &&
      (urls.empty() || urls.front() != options.auto_config_url)) {
    urls.push_back(options.auto_config_url);
  }
  return urls;
}

uint32_t Resolve(State& state, const Job& job, ProxyResult& result) {
  const std::vector<std::string> urls = ScriptUrls(job.options);
  if (urls.empty()) {
    return (job.options.flags & kAutoProxyAutoDetect) ? kErrorAutoDetectionFailed
                                                      : kErrorInvalidParameter;
  }
  uint32_t failure = kErrorUnableToDownloadScript;
  for (const std::string& script_url : urls) {
    if (state.stopping.load()) return kErrorOperationCancelled;
    const KeptScripts::Answer answer = state.kept.Get(
        script_url, [&](const std::string& url, const std::string& etag, const std::string& lm) {
          return DownloadScript(ScriptDownloadRequest{.url = url,
                                                      .timeouts = job.timeouts,
                                                      .max_bytes = state.options.max_script_bytes,
                                                      .max_redirects = state.options.max_redirects,
                                                      .etag = etag,
                                                      .last_modified = lm,
                                                      .cancelled = &state.stopping});
        });
    switch (answer.outcome) {
      case ScriptDownloadOutcome::kOk: {
        PacEvaluation evaluation = Evaluate(state, *answer.script, job.url);
        if (!evaluation.ok) return kErrorBadAutoProxyScript;
        result.entries = std::move(evaluation.entries);
        return kErrorSuccess;
      }
      case ScriptDownloadOutcome::kTimedOut:
        failure = kErrorTimeout;
        break;
      case ScriptDownloadOutcome::kCancelled:
        return kErrorOperationCancelled;
      case ScriptDownloadOutcome::kNotModified:
      case ScriptDownloadOutcome::kFailed:
        failure = kErrorUnableToDownloadScript;
        break;
    }
  }
  return failure;
}

// Stores the outcome on the resolver handle and makes the request's one
// status callback.
void Finish(State& state, const Job& job, uint32_t code, ProxyResult result) {
  ResolverObject& resolver = *job.resolver;
  bool request_error = code == kErrorOperationCancelled;
  {
    std::lock_guard lock(state.mutex);
    resolver.busy = false;
    if (resolver.closed) {
      request_error = true;
      code = kErrorOperationCancelled;
    }
    if (!request_error && code == kErrorSuccess) {
      resolver.result = std::move(result);
      resolver.has_result = true;
    }
  }
  if (!resolver.callback) return;
  if (request_error) {
    if (!(resolver.flags & kCallbackFlagRequestError)) return;
    AsyncResult async{kApiGetProxyForUrl, code};
    resolver.callback(resolver.handle, job.context, kStatusRequestError, &async, sizeof(async));
    return;
  }
  if (!(resolver.flags & kCallbackFlagGetProxyForUrlComplete)) return;
  resolver.callback(resolver.handle, job.context, kStatusGetProxyForUrlComplete, &code,
                    sizeof(code));
}

void Work(const std::shared_ptr<State>& state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    ++state->idle_workers;
    state->work.wait(lock, [&] { return !state->queue.empty() || state->stopping.load(); });
    --state->idle_workers;
    if (state->queue.empty()) return;  // stopping, nothing left
    Job job = std::move(state->queue.front());
    state->queue.pop_front();
    lock.unlock();
    ProxyResult result;
    const uint32_t code =
        state->stopping.load() ? kErrorOperationCancelled : Resolve(*state, job, result);
    Finish(*state, job, code, std::move(result));
    lock.lock();
  }
}

class LinuxWinHttp final : public WinHttpApi {
 public:
  explicit LinuxWinHttp(LinuxWinHttpOptions options)
      : state_(std::make_shared<State>(std::move(options))) {}

  ~LinuxWinHttp() override {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
      threads.swap(threads_);
    }
    state_->work.notify_all();
    for (std::thread& thread : threads) {
      // The last holder may be a status callback on one of our own threads;
      // that thread keeps the state alive and ends by itself.
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
      } else {
        thread.join();
      }
    }
  }

  WinHttpHandle Open(bool async) override {
    if (!async) return kNullHandle;  // only the asynchronous form is offered
    std::lock_guard lock(state_->mutex);
    const WinHttpHandle handle = state_->next_handle++;
    state_->sessions[handle] = std::make_shared<Session>();
    return handle;
  }

  bool SetStatusCallback(WinHttpHandle session, WinHttpStatusCallback callback,
                         uint32_t flags) override {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->sessions.find(session);
    if (it == state_->sessions.end()) return false;
    it->second->callback = callback;
    it->second->flags = callback ? flags : 0;
    return true;
  }

  bool SetTimeouts(WinHttpHandle session, int32_t resolve_ms, int32_t connect_ms, int32_t send_ms,
                   int32_t receive_ms) override {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->sessions.find(session);
    if (it == state_->sessions.end()) return false;
    it->second->timeouts = WinHttpTimeouts{resolve_ms, connect_ms, send_ms, receive_ms};
    return true;
  }

  uint32_t CreateProxyResolver(WinHttpHandle session, WinHttpHandle* resolver) override {
    if (!resolver) return kErrorInvalidParameter;
    std::lock_guard lock(state_->mutex);
    const auto it = state_->sessions.find(session);
    if (it == state_->sessions.end()) return kErrorInvalidHandle;
    auto object = std::make_shared<ResolverObject>();
    object->handle = state_->next_handle++;
    object->callback = it->second->callback;
    object->flags = it->second->flags;
    object->session = it->second;
    state_->resolvers[object->handle] = object;
    *resolver = object->handle;
    return kErrorSuccess;
  }

  uint32_t GetProxyForUrlEx(WinHttpHandle resolver, const std::string& url,
                            const AutoProxyOptions& options, uintptr_t context) override {
    const bool detect = options.flags & kAutoProxyAutoDetect;
    const bool config = options.flags & kAutoProxyConfigUrl;
    if (url.empty() || (!detect && !config) || (!detect && options.auto_config_url.empty()) ||
        (detect && !(options.auto_detect_flags & (kAutoDetectTypeDhcp | kAutoDetectTypeDnsA)))) {
      return kErrorInvalidParameter;
    }
    std::lock_guard lock(state_->mutex);
    const auto it = state_->resolvers.find(resolver);
    if (it == state_->resolvers.end()) return kErrorInvalidHandle;
    ResolverObject& object = *it->second;
    if (object.busy) return kErrorIncorrectHandleState;
    if (state_->stopping) return kErrorOperationCancelled;
    object.busy = true;
    object.has_result = false;
    object.result = {};
    state_->queue.push_back(
        Job{it->second, url, options, context,
            state_->options.timeouts_override.value_or(object.session->timeouts)});
    if (state_->idle_workers < state_->queue.size() &&
        threads_.size() < std::max<std::size_t>(1, state_->options.threads)) {
      threads_.emplace_back([state = state_] { Work(state); });
    }
    state_->work.notify_one();
    return kErrorIoPending;
  }

  uint32_t GetProxyResult(WinHttpHandle resolver, ProxyResult* result) override {
    if (!result) return kErrorInvalidParameter;
    std::lock_guard lock(state_->mutex);
    const auto it = state_->resolvers.find(resolver);
    if (it == state_->resolvers.end()) return kErrorInvalidHandle;
    if (!it->second->has_result) return kErrorIncorrectHandleState;
    *result = it->second->result;
    return kErrorSuccess;
  }

  void FreeProxyResult(ProxyResult* result) override {
    if (result) result->entries.clear();
  }

  bool CloseHandle(WinHttpHandle handle) override {
    std::lock_guard lock(state_->mutex);
    if (state_->sessions.erase(handle) > 0) return true;
    const auto it = state_->resolvers.find(handle);
    if (it == state_->resolvers.end()) return false;
    it->second->closed = true;
    state_->resolvers.erase(it);
    return true;
  }

 private:
  const std::shared_ptr<State> state_;
  std::vector<std::thread> threads_;  // guarded by state_->mutex
};

}  // namespace

std::shared_ptr<WinHttpApi> CreateLinuxWinHttp(LinuxWinHttpOptions options) {
  return std::make_shared<LinuxWinHttp>(std::move(options));
}

}  // namespace ovplatform
