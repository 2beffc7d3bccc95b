#include "platform/winhttp/ov_winhttp_linux.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dns/ov_script_dns.h"
#include "platform/winhttp/ov_kept_scripts.h"
#include "platform/wpad/ov_wpad_discovery.h"
#include "tavlib/tav_clock.h"

namespace ovplatform {
namespace {

// AsyncResult::api of a failed GetProxyForUrlEx.
constexpr uintptr_t kApiGetProxyForUrl = 1;

int64_t Micros(std::chrono::milliseconds duration) {
  return std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
}

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
  // The running or queued request's cancel flag.
  std::shared_ptr<std::atomic<bool>> cancelled;
};

struct Job {
  std::shared_ptr<ResolverObject> resolver;
  std::string url;
  AutoProxyOptions options;
  uintptr_t context = 0;
  WinHttpTimeouts timeouts;
  int64_t deadline_us = 0;  // Tav::TimeTicks; 0: none
  std::shared_ptr<std::atomic<bool>> cancelled;
};

// One detection result, kept for the network it was found on.
struct Detection {
  std::shared_ptr<WpadDiscovery> discovery;  // the discovery that answered
  uint32_t flags = 0;
  uint64_t network = 0;
  int64_t until_us = 0;
  WpadResult result;
};

struct State {
  explicit State(LinuxWinHttpOptions opts)
      : options(std::move(opts)), kept(options.script_lifetime, options.failed_script_lifetime) {}

  const LinuxWinHttpOptions options;
  KeptScripts kept;
  std::atomic<bool> stopping{false};

  std::mutex mutex;
  std::condition_variable work;
  std::deque<Job> queue;
  std::size_t pending = 0;  // accepted, not yet answered
  std::size_t idle_workers = 0;
  std::size_t live_workers = 0;
  std::vector<std::thread> threads;
  std::vector<std::thread::id> exited;  // workers that ended and wait to be joined
  // Cancelled queued requests, answered by `answerer`.
  std::deque<Job> cancelled_jobs;
  bool answering = false;
  std::thread answerer;
  std::map<WinHttpHandle, std::shared_ptr<Session>> sessions;
  std::map<WinHttpHandle, std::shared_ptr<ResolverObject>> resolvers;
  WinHttpHandle next_handle = 1;

  // Guards the detection results and the one detection running.
  std::mutex detect_mutex;
  std::condition_variable detect_done;
  bool detecting = false;
  std::vector<Detection> detections;
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

// Detection once per network: a kept result while it is fresh, else one
// detection that every request arriving meanwhile waits for (detection is
// bounded: lease files and a DNS lookup of about a second).
WpadResult Detect(State& state, uint32_t flags) {
  std::shared_ptr<WpadDiscovery> discovery;
  try {
    discovery = GetWpadDiscovery();
  } catch (...) {
    // No discovery finds nothing.
  }
  if (!discovery) return {};
  std::unique_lock lock(state.detect_mutex);
  for (;;) {
    const int64_t now = Tav::TimeTicks::Now();
    const uint64_t network = WpadNetworkGeneration();
    std::erase_if(state.detections, [&](const Detection& d) {
      return d.network != network || d.until_us <= now || d.discovery != discovery;
    });
    const auto kept = std::find_if(state.detections.begin(), state.detections.end(),
                                   [&](const Detection& d) { return d.flags == flags; });
    if (kept != state.detections.end()) return kept->result;
    if (!state.detecting) break;
    state.detect_done.wait(lock);
  }
  state.detecting = true;
  // A change while detecting makes this result stale at once.
  const uint64_t network = WpadNetworkGeneration();
  lock.unlock();
  WpadResult result;
  try {
    result = discovery->Detect(flags);
  } catch (...) {
    // A discovery that fails found nothing.
  }
  lock.lock();
  state.detecting = false;
  state.detections.push_back(
      Detection{discovery, flags, network,
                Tav::TimeTicks::Now() + Micros(state.options.detection_lifetime), result});
  state.detect_done.notify_all();
  return result;
}

std::vector<std::string> ScriptUrls(State& state, const AutoProxyOptions& options) {
  std::vector<std::string> urls;
  if (options.flags & kAutoProxyAutoDetect) {
    uint32_t flags = 0;
    if (options.auto_detect_flags & kAutoDetectTypeDhcp) flags |= kWpadDetectDhcp;
    if (options.auto_detect_flags & kAutoDetectTypeDnsA) flags |= kWpadDetectDns;
    WpadResult detected = Detect(state, flags);
    if (detected.found()) urls.push_back(std::move(detected.url));
  }
  if ((options.flags & kAutoProxyConfigUrl) && !options.auto_config_url.empty() &&
      (urls.empty() || urls.front() != options.auto_config_url)) {
    urls.push_back(options.auto_config_url);
  }
  return urls;
}

uint32_t Resolve(State& state, const Job& job, ProxyResult& result) {
  // Checked between the steps: a cancelled or late request goes no further.
  const auto stopped = [&]() -> std::optional<uint32_t> {
    if (state.stopping.load() || job.cancelled->load()) return kErrorOperationCancelled;
    if (job.deadline_us != 0 && Tav::TimeTicks::Now() >= job.deadline_us) return kErrorTimeout;
    return std::nullopt;
  };
  if (const auto code = stopped()) return *code;
  const std::vector<std::string> urls = ScriptUrls(state, job.options);
  if (urls.empty()) {
    return (job.options.flags & kAutoProxyAutoDetect) ? kErrorAutoDetectionFailed
                                                      : kErrorInvalidParameter;
  }
  const KeptScripts::Caller caller{job.cancelled.get(), job.deadline_us, WpadNetworkGeneration()};
  uint32_t failure = kErrorUnableToDownloadScript;
  for (const std::string& script_url : urls) {
    if (const auto code = stopped()) return *code;
    const KeptScripts::Answer answer = state.kept.Get(
        script_url,
        [&](const std::string& url, const std::string& etag, const std::string& lm,
            const std::function<bool()>& abandoned) {
          return DownloadScript(ScriptDownloadRequest{
              .url = url,
              .timeouts = job.timeouts,
              .max_bytes = state.options.max_script_bytes,
              .max_redirects = state.options.max_redirects,
              .etag = etag,
              .last_modified = lm,
              .cancelled = [&state, &abandoned] { return state.stopping.load() || abandoned(); }});
        },
        caller);
    switch (answer.outcome) {
      case ScriptDownloadOutcome::kOk: {
        if (const auto code = stopped()) return *code;
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
    --state.pending;
    resolver.busy = false;
    resolver.cancelled.reset();
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
    const bool woken = state->work.wait_for(lock, state->options.idle_thread_timeout, [&] {
      return !state->queue.empty() || state->stopping.load();
    });
    --state->idle_workers;
    if (state->queue.empty()) {
      if (!woken || state->stopping.load()) {
        // Idle for long enough, or stopping: this thread ends; the next
        // request (or the destructor) joins it.
        --state->live_workers;
        state->exited.push_back(std::this_thread::get_id());
        return;
      }
      continue;
    }
    Job job = std::move(state->queue.front());
    state->queue.pop_front();
    lock.unlock();
    ProxyResult result;
    const uint32_t code = Resolve(*state, job, result);
    Finish(*state, job, code, std::move(result));
    lock.lock();
  }
}

// Answers the cancelled queued requests, then ends.
void Answer(const std::shared_ptr<State>& state) {
  std::unique_lock lock(state->mutex);
  while (!state->cancelled_jobs.empty()) {
    Job job = std::move(state->cancelled_jobs.front());
    state->cancelled_jobs.pop_front();
    lock.unlock();
    Finish(*state, job, kErrorOperationCancelled, {});
    lock.lock();
  }
  state->answering = false;
}

// Joins the workers that ended. Called with the state's mutex held: an ended
// worker no longer needs it.
void JoinExited(State& state) {
  for (const std::thread::id id : state.exited) {
    const auto it = std::find_if(state.threads.begin(), state.threads.end(),
                                 [&](const std::thread& t) { return t.get_id() == id; });
    if (it == state.threads.end()) continue;
    it->join();
    state.threads.erase(it);
  }
  state.exited.clear();
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
      threads.swap(state_->threads);
      if (state_->answerer.joinable()) threads.push_back(std::move(state_->answerer));
    }
    state_->work.notify_all();
    state_->kept.WakeWaiters();
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
    // Full: refused at once, as a script that cannot be fetched, so that the
    // caller answers without us rather than after a backlog.
    if (state_->pending >= std::max<std::size_t>(1, state_->options.max_pending)) {
      return kErrorUnableToDownloadScript;
    }
    ++state_->pending;
    object.busy = true;
    object.has_result = false;
    object.result = {};
    object.cancelled = std::make_shared<std::atomic<bool>>(false);
    const WinHttpTimeouts timeouts =
        state_->options.timeouts_override.value_or(object.session->timeouts);
    state_->queue.push_back(
        Job{it->second, url, options, context, timeouts, Deadline(timeouts), object.cancelled});
    JoinExited(*state_);
    if (state_->idle_workers < state_->queue.size() &&
        state_->live_workers < std::max<std::size_t>(1, state_->options.threads)) {
      ++state_->live_workers;
      state_->threads.emplace_back([state = state_] { Work(state); });
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
    bool wake_waiters = false;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->sessions.erase(handle) > 0) return true;
      const auto it = state_->resolvers.find(handle);
      if (it == state_->resolvers.end()) return false;
      ResolverObject& object = *it->second;
      object.closed = true;
      if (object.cancelled) {
        object.cancelled->store(true);
        wake_waiters = true;
      }
      const auto queued = std::find_if(state_->queue.begin(), state_->queue.end(),
                                       [&](const Job& job) { return job.resolver == it->second; });
      if (queued != state_->queue.end()) {
        // Not started: answered now, on a thread of ours, not after the queue.
        state_->cancelled_jobs.push_back(std::move(*queued));
        state_->queue.erase(queued);
        StartAnswering();
      }
      state_->resolvers.erase(it);
    }
    if (wake_waiters) state_->kept.WakeWaiters();
    return true;
  }

 private:
  // A request's stay is bounded by its time-outs as a whole (the rule of
  // DownloadScript's first wait); without a receive time-out, none.
  static int64_t Deadline(const WinHttpTimeouts& t) {
    if (t.receive_ms < 1) return 0;
    const int64_t total_ms = int64_t{t.receive_ms} + std::max(0, t.send_ms) +
                             std::max(0, t.connect_ms) + std::max(0, t.resolve_ms);
    return Tav::TimeTicks::Now() + total_ms * 1000;
  }

  // With the state's mutex held.
  void StartAnswering() {
    if (state_->answering || state_->stopping) return;
    // The previous answerer cleared `answering` as its last step.
    if (state_->answerer.joinable()) state_->answerer.join();
    state_->answering = true;
    state_->answerer = std::thread([state = state_] { Answer(state); });
  }

  const std::shared_ptr<State> state_;
};

}  // namespace

void NoteNetworkChangeForSystemProxyService() {
  NoteWpadNetworkChange();
  // Names scripts asked may resolve otherwise on the new network.
  NoteScriptDnsNetworkChange();
}

std::shared_ptr<WinHttpApi> CreateLinuxWinHttp(LinuxWinHttpOptions options) {
  return std::make_shared<LinuxWinHttp>(std::move(options));
}

}  // namespace ovplatform
