#include "OrvaProxy/ov_proxy_resolve_service.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_manager_impl.h"
#include "OrvaProxy/ov_answer_once.h"
#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_pac_content_sync.h"
#include "OrvaProxy/ov_pac_file_decider_host.h"
#include "OrvaProxy/ov_proxy_config_mode.h"
#include "OrvaProxy/ov_proxy_host_cache_mode.h"
#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "OrvaProxy/ov_telemetry_reporter.h"
#include "onetutils/orva_url_utils.h"
#include "orvatask/orva_task.h"
#include "platform/winhttp/ov_winhttp_api.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {
namespace {

std::string LogForm(const std::string& url) {
  ONet::IOrvaUrlUtils* utils = ONet::GetOrvaUrlUtils();
  return utils ? utils->GetLogForm(url) : std::string();
}

const char* ResultName(const std::shared_ptr<ovProxyInfo>& result) {
  if (!result) return "null";
  return result->is_direct() ? "DIRECT" : "PROXY";
}

// Completes a traced request's record with what its caller receives, hands
// it to the observer and then answers the caller.
ResolveCallback TraceAnswer(std::shared_ptr<ovTraceRecord> record,
                            std::shared_ptr<ovResolveTraceObserver> observer,
                            std::shared_ptr<const std::string> key, ResolveCallback callback) {
  const int64_t start_ns = Tav::TimeTicks::NowNs();
  return [record = std::move(record), observer = std::move(observer), key = std::move(key),
          callback = std::move(callback),
          start_ns](const std::string& id, const ovProxyInfo& answer, eErrorCode error) {
    record->add(ovTraceStepKind::Answer,
                {{"answer", answer.is_empty() ? std::string() : answer.ToPacString()},
                 {"code", std::to_string(error)},
                 {"elapsed_ms", std::to_string((Tav::TimeTicks::NowNs() - start_ns) / 1'000'000)}});
    if (key && !key->empty()) ovTraceBook::Close(*key);
    observer->onResolveTraced(record->snapshot());
    if (callback) callback(id, answer, error);
  };
}

}  // namespace

ovResolveServiceParts ovResolveServiceParts::Module() {
  ovResolveServiceParts parts;
  parts.controller = ovResolveControllerParts::Module();
  parts.controller.make_decider = [] {
    auto host = std::make_unique<ovPacFileDeciderHost>();
    host->decider().setDataSyncHook(&SharePacContentWithProcesses);
    return host;
  };
  return parts;
}

ovProxyResolveServiceImpl::ovProxyResolveServiceImpl(ovResolveServiceParts parts)
    : controller_(std::move(parts.controller)),
      info_mode_(parts.info_mode ? parts.info_mode : ovProxyInfoModeImpl::GetInstance()),
      make_manager_(std::move(parts.make_manager)) {}

ovProxyResolveServiceImpl::~ovProxyResolveServiceImpl() {
  if (state_ != ServiceState::Uninitialized || manager_) uninitialize();
}

std::string ovProxyResolveServiceImpl::hostKey(const std::string& url) {
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return url;
  const std::size_t start = scheme_end + 3;
  const std::size_t end = std::min(url.find_first_of("/?#", start), url.size());
  std::string_view authority(url.data() + start, end - start);
  // The cache travels to other processes: user information stays out of it.
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  // A script may answer http and https differently: the scheme is part of
  // the key, in one letter case so that "HTTP://h" and "http://h" share it.
  std::string key;
  key.reserve(scheme_end + 3 + authority.size());
  for (std::size_t i = 0; i < scheme_end; ++i) {
    const char c = url[i];
    key.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  key.append("://");
  key.append(authority);
  return key;
}

bool ovProxyResolveServiceImpl::initialize(ovProxyConfigServiceManager* manager) {
  const std::string runner = OrvaTask::GetRunnerNameOfCurrentThread();
  if (manager) {
    // Held, not owned: the caller keeps it alive for as long as we use it.
    manager_ = std::shared_ptr<ovProxyConfigServiceManager>(std::shared_ptr<void>(), manager);
  } else {
    std::unique_ptr<ovProxyConfigServiceManager> own =
        make_manager_ ? make_manager_(runner)
                      : std::make_unique<ovProxyConfigServiceManagerImpl>(runner);
    if (!own) {
      ovLog(LogLevel::kError, "RSVC_MGRINI",
            "ProxyResolveService: Failed to initialize proxy config service");
      return false;
    }
    manager_ = std::move(own);
  }
  manager_->addObserver(this);
  controller_.decider().prepareRunners(runner);
  controller_.decider().setScriptChangeHook([this] {
    clearHostCache("pac script");
    reportChange(ovChangeCause::PacScript);
  });
  controller_.setDelegate(this);

  ovProxyConfig latest;
  state_ = manager_->getLatestProxyConfig(latest) == CONFIG_VALID ? ServiceState::Ready
                                                                  : ServiceState::WaitingForConfig;
  checkConfigState();
  return true;
}

bool ovProxyResolveServiceImpl::uninitialize() {
  if (manager_) {
    manager_->removeObserver(this);
    manager_.reset();
  }
  // The callers of dropped requests hear e_cancelled from the wrappers their
  // callbacks were given in resolve, as the tasks go.
  std::deque<std::shared_ptr<ovProxyResolveTask>> dropped;
  dropped.swap(waiting_);
  controller_.cancelAllTasks();
  task_epochs_.clear();
  controller_.decider().setScriptChangeHook(nullptr);
  controller_.decider().releaseRunners();
  controller_.setDelegate(nullptr);
  state_ = ServiceState::Uninitialized;
  network_state_ = ovNetworkState::Connected;
  network_name_.clear();
  had_config_ = false;
  dropped.clear();
  return true;
}

eErrorCode ovProxyResolveServiceImpl::resolve(const std::string& url, const std::string& extra,
                                              ResolveCallback callback, std::string requestId,
                                              int32_t timeoutMs) {
  const std::string log_form = LogForm(url);
  ovLog(LogLevel::kInfo, "RSVC_NEWREQ",
        "ProxyResolveService: New resolve request for URL: " + log_form +
            " requestId=" + requestId + " timeoutMs=" + std::to_string(timeoutMs));
  std::shared_ptr<ovTraceRecord> trace;
  // The task's key, once there is a task, for the record's entry in the book.
  std::shared_ptr<std::string> trace_key;
  if (trace_observer_) {
    trace = std::make_shared<ovTraceRecord>(requestId, url);
    trace_key = std::make_shared<std::string>();
    callback = TraceAnswer(trace, trace_observer_, trace_key, std::move(callback));
  }
  callback = AnswerExactlyOnce(requestId, std::move(callback));

  std::shared_ptr<ovProxyHostCacheMode> cache = info_mode_->getHostCacheMode();
  ovProxyInfo cached;
  if (cache && cache->isHostCacheEnabled() && cache->lookup(hostKey(url), cached)) {
    if (trace) trace->add(ovTraceStepKind::HostCache, {{"key", ovTraceUrl(url)}});
    ovLog(LogLevel::kInfo, "RSVC_CACHIT",
          "ProxyResolveService: Cache hit - requestId=" + requestId + ", url=" + log_form);
    deliverResult(requestId, std::move(cached), e_success, std::move(callback));
    return e_success;
  }

  if (url.empty()) {
    ovLog(LogLevel::kError, "RSVC_TASKNO",
          "ProxyResolveService: Failed to create proxy resolve task - url=" + log_form +
              ", requestId=" + requestId);
    deliverResult(requestId, ovProxyInfo(), e_failed, std::move(callback));
    return e_failed;
  }
  auto task = std::make_shared<ovProxyResolveTask>(requestId, url, extra, std::move(callback),
                                                   nullptr, timeoutMs);
  if (trace) {
    *trace_key = task->getKey();
    ovTraceBook::Open(task->getKey(), trace);
    task->setTrace(std::move(trace));
  }

  if (state_ != ServiceState::Ready) {
    waiting_.push_back(task);
    if (state_ == ServiceState::Uninitialized && manager_) {
      state_ = ServiceState::WaitingForConfig;
      checkConfigState();
    }
    return e_pending;
  }

  const eErrorCode assigned = assignConfig(task, false);
  if (assigned != e_success) {
    completeWithDirect(task, assigned);
    return assigned;
  }
  const eErrorCode code = submitTask(task, false);
  if (code == e_pending) return e_pending;
  // Whatever the controller answered at once reaches the caller here; the
  // task's own delivery is at most once, so nothing is answered twice.
  if (code != e_success && task->getState() != ovProxyResolveTask::State::Completed) {
    task->setResult(nullptr, code);
  }
  task->invokeCallback();
  return code;
}

eErrorCode ovProxyResolveServiceImpl::assignConfig(const std::shared_ptr<ovProxyResolveTask>& task,
                                                   bool waited) {
  if (!task) {
    ovLog(LogLevel::kError, "RSVC_NULTSK",
          "ProxyResolveService: Cannot assign config to null task");
    return e_invalid_argument;
  }
  if (!manager_) {
    ovLog(LogLevel::kError, "RSVC_NOMGR_",
          "ProxyResolveService: Config service manager not available");
    return e_config_unavailable;
  }
  ovProxyConfig latest;
  const ovProxyConfigAvailability availability = manager_->getLatestProxyConfig(latest);
  std::shared_ptr<ovProxyConfigMode> store = info_mode_->getConfigMode();
  if (availability != CONFIG_VALID) {
    ovProxyConfig shared;
    if (store && store->getConfig(shared)) {
      task->setConfig(shared.duplicate());
      traceConfig(*task, "shared by another process", waited);
      return e_success;
    }
    return e_config_unavailable;
  }
  if (store && !store->updateConfig(latest)) {
    ovProxyConfig shared;
    if (store->getConfig(shared)) {
      task->setConfig(shared.duplicate());
      traceConfig(*task, "shared by another process", waited);
      return e_success;
    }
  }
  task->setConfig(latest.duplicate());
  if (task->trace() != nullptr) traceConfig(*task, describeSource(), waited);
  return e_success;
}

void ovProxyResolveServiceImpl::traceConfig(const ovProxyResolveTask& task,
                                            const std::string& source, bool waited) {
  ovTraceRecord* trace = task.trace();
  if (trace == nullptr || !task.getConfig()) return;
  trace->add(ovTraceStepKind::Config, {{"kind", ovTraceConfigKind(*task.getConfig())},
                                       {"source", source},
                                       {"waited", waited ? "yes" : "no"}});
}

std::string ovProxyResolveServiceImpl::describeSource() {
  if (!manager_) return {};
  if (auto* impl = dynamic_cast<ovProxyConfigServiceManagerImpl*>(manager_.get())) {
    return impl->describeSource();
  }
  return manager_->getServiceName();
}

void ovProxyResolveServiceImpl::reportChange(ovChangeCause cause) {
  if (!trace_observer_) return;
  ovResolveChange change;
  change.cause = cause;
  ovProxyConfig config;
  if (manager_ && manager_->getLatestProxyConfig(config) == CONFIG_VALID) {
    change.config = config.duplicate();
  }
  change.source = describeSource();
  trace_observer_->onResolveChange(change);
}

eErrorCode ovProxyResolveServiceImpl::submitTask(const std::shared_ptr<ovProxyResolveTask>& task,
                                                 bool deliver) {
  if (!task || state_ != ServiceState::Ready) return e_unavailable;
  task_epochs_.emplace(task->getRequestId(), cache_epoch_);
  const eErrorCode code = controller_.addTask(task);
  if (code == e_pending) return e_pending;
  if (deliver) {
    if (code != e_success && task->getState() != ovProxyResolveTask::State::Completed) {
      task->setResult(nullptr, code);
    }
    task->invokeCallback();
  }
  return code;
}

void ovProxyResolveServiceImpl::completeWithDirect(const std::shared_ptr<ovProxyResolveTask>& task,
                                                   eErrorCode code) {
  if (ovTraceRecord* trace = task->trace(); trace != nullptr && code == e_request_timeout) {
    trace->add(ovTraceStepKind::Timeout, {{"ms", std::to_string(task->getTimeoutMs())}});
  }
  task->setErrorDetail(code, "Using direct connection due to config/resolution error");
  task->setResult(std::make_shared<ovProxyInfo>(), code);
  task->invokeCallback();
}

void ovProxyResolveServiceImpl::checkConfigState() {
  if (state_ == ServiceState::WaitingForConfig) {
    if (!manager_) return;
    ovProxyConfig config;
    const ovProxyConfigAvailability availability = manager_->getLatestProxyConfig(config);
    if (availability != CONFIG_PENDING) onProxyConfigChanged(config, availability);
    return;
  }
  if (state_ != ServiceState::Ready) return;
  ovProxyConfig config;
  const ovProxyConfigAvailability availability =
      manager_ ? manager_->getLatestProxyConfig(config) : CONFIG_UNSET;
  if (availability == CONFIG_VALID) ovTelemetryReporter::GetInstance().reportConfigSummary(config);
  controller_.setDecisionState(DecisionState::Idle);
  controller_.advanceDecision();
  if (!waiting_.empty()) drainWaitingQueue();
}

void ovProxyResolveServiceImpl::drainWaitingQueue() {
  while (!waiting_.empty()) {
    std::shared_ptr<ovProxyResolveTask> task = std::move(waiting_.front());
    waiting_.pop_front();
    const eErrorCode code = assignConfig(task, true);
    if (code != e_success) {
      completeWithDirect(task, code);
    } else {
      submitTask(task, true);
    }
  }
}

void ovProxyResolveServiceImpl::onProxyConfigChanged(const ovProxyConfig&,
                                                     ovProxyConfigAvailability) {
  std::shared_ptr<ovProxyHostCacheMode> cache = info_mode_->getHostCacheMode();
  if (cache) cache->onConfigChanged();
  // Answers made under the configuration that was in force are stale now.
  // On the first configuration the cache holds what was answered under the
  // shared configuration: kept when that is this one, stale otherwise.
  if (had_config_ || !MatchesSharedConfig()) clearHostCache("config");
  const bool changed = had_config_;
  had_config_ = true;
  state_ = ServiceState::Ready;
  checkConfigState();
  if (changed) reportChange(ovChangeCause::Settings);
}

bool ovProxyResolveServiceImpl::MatchesSharedConfig() {
  if (!manager_) return true;
  ovProxyConfig latest, shared;
  if (manager_->getLatestProxyConfig(latest) != CONFIG_VALID) return true;
  std::shared_ptr<ovProxyConfigMode> store = info_mode_->getConfigMode();
  return !store || !store->getConfig(shared) || shared == latest;
}

void ovProxyResolveServiceImpl::OnNetworkStateChanged(ovNetworkState state,
                                                      const std::string& networkName) {
  if (state == network_state_ && networkName == network_name_) return;
  network_state_ = state;
  network_name_ = networkName;
  resetForNetworkChange();
}

void ovProxyResolveServiceImpl::OnNetSettingChange(int) {
  resetForNetworkChange();
}

void ovProxyResolveServiceImpl::resetForNetworkChange() {
  std::shared_ptr<ovProxyHostCacheMode> cache = info_mode_->getHostCacheMode();
  if (cache) cache->onConfigChanged();
  // The script found on the old network is not this network's: detection
  // and download run again (an unchanged script costs a "not modified").
  controller_.decider().restartForNetworkChange();
  clearHostCache("network");
  if (manager_) manager_->onNetworkStateChanged();
  // The process's own resolution service keeps detection results and
  // scripts per network; on Windows the system's service hears it itself.
  ovplatform::NoteNetworkChangeForSystemProxyService();
  controller_.resetDecision();
  reportChange(ovChangeCause::Network);
}

void ovProxyResolveServiceImpl::clearHostCache(const char* reason) {
  // Answers still being computed were made under what is being forgotten.
  ++cache_epoch_;
  std::shared_ptr<ovProxyHostCacheMode> cache = info_mode_->getHostCacheMode();
  if (!cache) return;
  cache->clear();
  ovLog(LogLevel::kInfo, "RSVC_CACHCL",
        std::string("ProxyResolveService: Host cache cleared - reason=") + reason);
}

void ovProxyResolveServiceImpl::onTaskComplete(const std::string& requestId, const std::string& url,
                                               std::shared_ptr<ovProxyInfo> result,
                                               eErrorCode error) {
  ovLog(LogLevel::kInfo, "RSVC_RESDON",
        "ProxyResolveService: Resolution complete - requestId=" + requestId +
            ", result=" + ResultName(result) + ", error=" + std::to_string(error));
  const std::optional<uint64_t> epoch = takeTaskEpoch(requestId);
  if (error != e_success || !result) return;
  if (epoch && *epoch != cache_epoch_) {
    ovLog(LogLevel::kInfo, "RSVC_STALEA",
          "ProxyResolveService: Answer not cached, made before the cache was cleared - "
          "requestId=" +
              requestId);
    return;
  }
  std::shared_ptr<ovProxyHostCacheMode> cache = info_mode_->getHostCacheMode();
  if (cache && cache->isHostCacheEnabled()) cache->put(hostKey(url), *result);
}

void ovProxyResolveServiceImpl::cancel(const std::string& requestId) {
  std::deque<std::shared_ptr<ovProxyResolveTask>> kept;
  for (auto& task : waiting_) {
    if (task->getRequestId() != requestId) kept.push_back(std::move(task));
  }
  waiting_.swap(kept);
  task_epochs_.erase(requestId);
  controller_.cancelTask(requestId);
}

std::optional<uint64_t> ovProxyResolveServiceImpl::takeTaskEpoch(const std::string& requestId) {
  // Ids are the callers': with one reused while an earlier request of it
  // runs, which record belongs to which answer is not known. The oldest is
  // taken, which is right when answers come in the order of their requests.
  auto [first, last] = task_epochs_.equal_range(requestId);
  if (first == last) return std::nullopt;
  auto oldest = first;
  for (auto it = first; it != last; ++it) {
    if (it->second < oldest->second) oldest = it;
  }
  const uint64_t epoch = oldest->second;
  task_epochs_.erase(oldest);
  return epoch;
}

void ovProxyResolveServiceImpl::checkTimeouts(bool& more) {
  std::deque<std::shared_ptr<ovProxyResolveTask>> kept;
  std::deque<std::shared_ptr<ovProxyResolveTask>> expired;
  for (auto& task : waiting_) {
    (task->isTimedOut() ? expired : kept).push_back(std::move(task));
  }
  waiting_.swap(kept);
  for (const auto& task : expired) completeWithDirect(task, e_request_timeout);

  ovProxyResolveController::TimedOutTasks timed_out;
  bool remain = false;
  controller_.collectTimedOutTasks(timed_out, remain);
  for (const auto& [id, task] : timed_out) {
    takeTaskEpoch(id);
    if (task) completeWithDirect(task, e_request_timeout);
  }
  more = !waiting_.empty() || remain;
}

}  // namespace OVProxy
