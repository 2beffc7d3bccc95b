#include "OrvaProxy/ov_proxy_resolve_controller.h"

#include <utility>

#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_multi_proxy_resolver_factory.h"
#include "OrvaProxy/ov_pac_file_decider_host.h"
#include "OrvaProxy/ov_pk_resolver.h"
#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_telemetry_reporter.h"
#include "OrvaProxy/ov_winet_sync_proxy_resolver_factory.h"
#include "OrvaProxy/ov_winhttp_async_resolver.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {
namespace {

constexpr const char kWinInetOnlyFeature[] = "WinInetOnly";
constexpr const char kFallbackFoundProxy[] =
    "Local resolver found proxy in fallback, overriding error to e_success";
constexpr const char kFallbackApplied[] =
    "Controller: Resolution failed, applying local resolver fallback";

std::shared_ptr<ovProxyInfo> DirectAnswer() {
  auto answer = std::make_shared<ovProxyInfo>();
  answer->UseDirect();
  return answer;
}

// Which configuration was made last; a missing one is oldest.
bool IsNewer(const ovProxyConfig& config, const ovProxyConfig& than) {
  return config.getUpdateTimestamp() > than.getUpdateTimestamp();
}

}  // namespace

ovResolveControllerParts ovResolveControllerParts::Module() {
  ovResolveControllerParts parts;
  parts.make_winhttp = [] {
    return std::shared_ptr<ovProxyAsyncResolver>(createWinHttpAsyncResolver());
  };
  parts.make_multi = [](std::shared_ptr<ovProxyResolverFactory> factory) {
    return std::shared_ptr<ovProxyAsyncResolver>(
        ovMultiProxyResolverFactory(std::move(factory)).createAsyncResolver());
  };
  parts.make_pk = [] {
    return std::shared_ptr<ovProxyAsyncResolver>(std::make_shared<ovPKResolver>());
  };
  parts.make_decider = [] { return std::make_unique<ovPacFileDeciderHost>(); };
  return parts;
}

ovProxyResolveController::ovProxyResolveController(ovResolveControllerParts parts)
    : adapter_(parts.adapter) {
  if (parts.make_decider) decider_ = parts.make_decider();
  if (!decider_) decider_ = std::make_unique<ovPacFileDeciderHost>(nullptr, nullptr, adapter_);
  decider_->setDelegate(this);
  createResolvers(parts);
  if (local_resolver_.initialize() != e_success) {
    ovLog(LogLevel::kError, "RCTL_LCINIT",
          "ProxyResolveController: Failed to initialize local resolver");
  }
}

void ovProxyResolveController::createResolvers(ovResolveControllerParts& parts) {
  // Each resolver is told who its delegate is before it starts, and dropped
  // when it cannot start.
  auto set_up = [this](std::shared_ptr<ovProxyAsyncResolver>& resolver, const char* failure,
                       LogLabel label) {
    if (!resolver) return;
    resolver->setDelegate(this);
    if (resolver->initialize() != e_success) {
      ovLog(LogLevel::kError, label, failure);
      resolver->setDelegate(nullptr);
      resolver.reset();
    }
  };
  if (!winhttp_resolver_ && parts.make_winhttp) {
    winhttp_resolver_ = parts.make_winhttp();
    set_up(winhttp_resolver_, "ProxyResolveController: Failed to initialize WinHttpAsyncResolver",
           "RCTL_WHINIT");
  }
  if (!sync_factory_) sync_factory_ = std::make_shared<ovWinetSyncProxyResolverFactory>();
  if (!multi_resolver_ && parts.make_multi) {
    multi_resolver_ = parts.make_multi(sync_factory_);
    set_up(multi_resolver_, "ProxyResolveController: Failed to initialize MultiProxyResolver",
           "RCTL_MPINIT");
  }
  if (!pk_resolver_ && parts.make_pk) {
    pk_resolver_ = parts.make_pk();
    set_up(pk_resolver_, "ProxyResolveController: Failed to initialize PKResolver", "RCTL_PKINIT");
  }
}

ovProxyResolveController::~ovProxyResolveController() {
  cancelAllTasks();
  decider_->setDelegate(nullptr);
  for (std::shared_ptr<ovProxyAsyncResolver>* resolver :
       {&winhttp_resolver_, &multi_resolver_, &pk_resolver_}) {
    if (!*resolver) continue;
    (*resolver)->setDelegate(nullptr);
    (*resolver)->uninitialize();
  }
  local_resolver_.uninitialize();
}

eErrorCode ovProxyResolveController::addTask(std::shared_ptr<ovProxyResolveTask> task) {
  if (!task) return e_invalid_argument;
  pending_[task->getKey()] = task;
  const bool handled = tryWinHttpFastPath(task);
  if (decision_state_ == DecisionState::Deciding) {
    // The decision in progress goes on unless this task brought a newer
    // configuration; then it starts over with that one.
    if (syncDeciderConfig(task, !handled)) advanceDecision();
    return e_pending;
  }
  syncDeciderConfig(task, !handled);
  advanceDecision();
  return e_pending;
}

bool ovProxyResolveController::tryWinHttpFastPath(const std::shared_ptr<ovProxyResolveTask>& task) {
  const std::shared_ptr<ovProxyConfig>& config = task->getConfig();
  if (!config || !config->HasAutomaticSettings()) return false;
  std::shared_ptr<ovProxyConfig> decider_config = decider_->getConfig();
  const bool has_pac_content = decider_config && !decider_config->isPacContentEmpty();
  if (has_pac_content || winInetOnly() || !winhttp_resolver_) return false;

  ovLog(LogLevel::kInfo, "RCTL_FASTPT", "ProxyResolveController: WinHttp Fast Path triggered");
  pending_.erase(task->getKey());
  // The decider's copy knows what was detected for it, but a task that
  // brought a newer configuration resolves with its own.
  if (decider_config && !IsNewer(*config, *decider_config)) task->setConfig(decider_config);
  routeTask(Route{.task = task, .road = Road::FastPath, .resolver = winhttp_resolver_});
  return true;
}

bool ovProxyResolveController::syncDeciderConfig(const std::shared_ptr<ovProxyResolveTask>& task,
                                                 bool needsDecision) {
  const std::shared_ptr<ovProxyConfig>& config = task->getConfig();
  if (!config) return false;
  std::shared_ptr<ovProxyConfig> decider_config = decider_->getConfig();
  if (!decider_config || IsNewer(*config, *decider_config)) {
    const bool changed = decider_->setConfig(config);
    decision_state_ = DecisionState::Idle;
    return changed;
  }
  if (IsNewer(*decider_config, *config) && needsDecision) task->setConfig(decider_config);
  return false;
}

void ovProxyResolveController::advanceDecision() {
  for (;;) {
    switch (decision_state_) {
      case DecisionState::Idle:
        // Without any configuration there is nothing to decide: the waiting
        // tasks are answered from what they carry rather than left waiting.
        decision_state_ = decider_->getConfig() ? DecisionState::Deciding : DecisionState::Decided;
        break;
      case DecisionState::Deciding:
        // The decider may notify (and so process the waiting tasks) from
        // inside GetPacContent; processing an empty map again is harmless.
        if (decider_->GetPacContent() == e_pending) return;
        decision_state_ = DecisionState::Decided;
        break;
      case DecisionState::Decided:
        processPendingTasks();
        return;
    }
  }
}

void ovProxyResolveController::resetDecision() {
  decider_->resetFailureRecord();
  decision_state_ = DecisionState::Idle;
  advanceDecision();
}

void ovProxyResolveController::onPacDecisionComplete(bool success, const std::string& pacContent,
                                                     const std::string& backupPacContent) {
  (void)pacContent;
  (void)backupPacContent;
  ovLog(LogLevel::kInfo, "RCTL_DECIDE",
        std::string("ProxyResolveController: PAC decision complete - success=") +
            (success ? "1" : "0"));
  decision_state_ = DecisionState::Decided;
  advanceDecision();
}

void ovProxyResolveController::processPendingTasks() {
  if (pending_.empty()) return;
  std::map<std::string, std::shared_ptr<ovProxyResolveTask>> taken;
  taken.swap(pending_);
  // One snapshot for the whole batch: the decider does not change while it
  // is walked.
  std::shared_ptr<ovProxyConfig> decider_config = decider_->getConfig();
  for (auto& [id, task] : taken) {
    if (!task) continue;
    if (decider_config) task->setConfig(decider_config);
    routeTask(Route{.task = task, .road = Road::Decided, .select_config = decider_config});
  }
}

std::shared_ptr<ovProxyResolver> ovProxyResolveController::selectResolver(
    const std::shared_ptr<ovProxyConfig>& config, const char** why) {
  const char* scratch = nullptr;
  const char*& reason = why != nullptr ? *why : scratch;
  // Handed out without ownership: the local resolver lives as long as the
  // controller.
  std::shared_ptr<ovProxyResolver> local(std::shared_ptr<void>(), &local_resolver_);
  if (!config || !config->HasAutomaticSettings()) {
    reason = !config ? "no configuration known" : "no automatic settings";
    return local;
  }
  if (winInetOnly()) {
    reason = "policy WinInetOnly";
    return multi_resolver_;
  }
  const bool has_pac_content = !config->isPacContentEmpty();
  reason = !has_pac_content ? "no PAC script" : "PAC script known, PK resolver unavailable";
  if (has_pac_content && pk_resolver_ && pk_resolver_->isAvailable()) {
    reason = "PAC script known, PK resolver available";
    ovLog(LogLevel::kInfo, "RCTL_SELPKR",
          "ProxyResolveController: Resolver selected - type=PKResolver");
    return pk_resolver_;
  }
  ovLog(LogLevel::kInfo, "RCTL_SELWHA",
        std::string("ProxyResolveController: Resolver selected - type=WinHttpAsync, "
                    "hasPacContent=") +
            (has_pac_content ? "1" : "0"));
  return winhttp_resolver_;
}

bool ovProxyResolveController::shouldBypass(const ovProxyResolveTask& task) const {
  const std::shared_ptr<ovProxyConfig>& config = task.getConfig();
  if (!config) return false;
  const ovProxyConfig::ProxyRules& rules = config->proxy_rules();
  ovTraceRecord* trace = task.trace();
  if (trace == nullptr) return rules.bypass_rules.Matches(task.getUrl(), rules.invert_bypass);
  std::string rule;
  if (!rules.bypass_rules.Matches(task.getUrl(), rules.invert_bypass, &rule)) return false;
  trace->add(ovTraceStepKind::Bypass, {{"rule", rule}});
  return true;
}

void ovProxyResolveController::traceChoice(const ovProxyResolveTask& task,
                                           ovProxyResolver* resolver, const char* why,
                                           bool withPac) {
  ovTraceRecord* trace = task.trace();
  if (trace == nullptr) return;
  trace->add(ovTraceStepKind::Resolver,
             {{"name", resolver ? resolver->getName() : "none"}, {"why", why ? why : ""}});
  const std::shared_ptr<ovProxyConfig>& config = task.getConfig();
  if (!config || !config->HasAutomaticSettings()) return;
  const ovPacFacts facts = decider_->pacFacts();
  // Before its first decision the decider has nothing to tell.
  if (!withPac && facts.url.empty() && (facts.download.empty() || facts.download == "none")) {
    return;
  }
  trace->add(ovTraceStepKind::Pac, {{"url", facts.url},
                                    {"origin", facts.origin},
                                    {"download", facts.download},
                                    {"age_ms", std::to_string(facts.age_ms)}});
}

bool ovProxyResolveController::winInetOnly() {
  IOvProxyEnterpriseAdapter* adapter =
      adapter_ != nullptr ? adapter_ : ovProxyEnterpriseAdapter::GetInstance();
  return adapter != nullptr &&
         adapter->GetFeatureBool(kWinInetOnlyFeature, FeatureSource::Policy, false, 0);
}

void ovProxyResolveController::notifyDelegate(const ovProxyResolveTask& task,
                                              std::shared_ptr<ovProxyInfo> result,
                                              eErrorCode error) {
  if (delegate_ != nullptr) {
    delegate_->onTaskComplete(task.getRequestId(), task.getUrl(), std::move(result), error);
  }
}

void ovProxyResolveController::routeTask(Route route) {
  ovProxyResolveTask& task = *route.task;
  while (route.step != RouteStep::Done) {
    switch (route.step) {
      case RouteStep::CheckBypass:
        if (shouldBypass(task)) {
          route.step = RouteStep::AnswerDirect;
        } else if (route.road == Road::FastPath) {
          // The fast path's resolver finds and fetches the script itself; what
          // the decider has found so far is recorded beside it.
          if (task.trace() != nullptr) {
            traceChoice(task, route.resolver.get(),
                        "fast path: automatic settings, no PAC script yet", false);
          }
          route.step = RouteStep::Start;
        } else {
          route.step = route.resolver ? RouteStep::Start : RouteStep::SelectResolver;
        }
        break;

      case RouteStep::AnswerDirect:
        task.setResult(DirectAnswer(), e_success);
        route.step = RouteStep::ReportSuccess;
        break;

      case RouteStep::SelectResolver: {
        const char* why = nullptr;
        route.resolver = selectResolver(route.select_config, &why);
        if (task.trace() != nullptr) traceChoice(task, route.resolver.get(), why, true);
        route.step = route.resolver ? RouteStep::Start : RouteStep::NoResolver;
        break;
      }

      case RouteStep::Start:
        task.setResolver(route.resolver);
        route.code = task.start();
        if (route.code == e_success) {
          route.step = RouteStep::ReportSuccess;
        } else if (route.code == e_pending) {
          route.step = RouteStep::AwaitResolver;
        } else if (route.code == e_cancelled) {
          // Whoever cancelled it wants no answer.
          route.step = RouteStep::Done;
        } else {
          route.step = RouteStep::StartFailed;
        }
        break;

      case RouteStep::AwaitResolver:
        // The resolver answers through onResolveComplete, which resumes the
        // road at Resolved.
        running_[task.getKey()] = route.task;
        return;

      case RouteStep::Resolved:
        route.step = stepResolved(route);
        break;

      case RouteStep::LocalFallback:
        route.step = stepLocalFallback(route);
        break;

      case RouteStep::ReportSuccess:
        notifyDelegate(task, task.getResult(), e_success);
        route.step = RouteStep::Deliver;
        break;

      case RouteStep::StartFailed:
        // start recorded the failure (a null result with its code).
        ovLog(LogLevel::kError,
              route.road == Road::FastPath ? LogLabel("RCTL_FSTFAI") : LogLabel("RCTL_PNDFAI"),
              std::string(route.road == Road::FastPath
                              ? "ProxyResolveController: Fast path task failed - error="
                              : "ProxyResolveController: Pending task failed - error=") +
                  std::to_string(static_cast<int>(route.code)));
        if (ovTraceRecord* trace = task.trace()) {
          trace->add(ovTraceStepKind::Failed, {{"resolver", route.resolver->getName()},
                                               {"code", std::to_string(route.code)}});
        }
        notifyDelegate(task, nullptr, route.code);
        route.step = RouteStep::LocalFallback;
        break;

      case RouteStep::NoResolver:
        ovLog(LogLevel::kError, "RCTL_NORSLV",
              "ProxyResolveController: No resolver available for pending task");
        notifyDelegate(task, nullptr, e_not_supported);
        task.setResult(nullptr, e_not_supported);
        route.step = RouteStep::Deliver;
        break;

      case RouteStep::Deliver:
        task.invokeCallback();
        route.step = RouteStep::Done;
        break;

      case RouteStep::Done:
        break;
    }
  }
}

ovProxyResolveController::RouteStep ovProxyResolveController::stepResolved(Route& route) {
  ovProxyResolveTask& task = *route.task;
  ovTelemetryReporter& telemetry = ovTelemetryReporter::GetInstance();
  if (route.code == e_success) {
    if (route.result) {
      const int64_t elapsed_ms = (Tav::TimeTicks::NowNs() - task.getStartTime()) / 1'000'000;
      telemetry.reportLatency(kResolveLatencyMetric, elapsed_ms, std::string(),
                              ovTelemetryReporter::ResultKind(*route.result));
    }
  } else {
    const int32_t event = route.resolver_kind == 0   ? kWinHttpFailedEvent
                          : route.resolver_kind == 1 ? kMultiFailedEvent
                                                     : kOtherFailedEvent;
    telemetry.reportEvent(event, static_cast<int64_t>(route.code));
    if (ovTraceRecord* trace = task.trace()) {
      const std::shared_ptr<ovProxyResolver>& resolver = task.getResolver();
      trace->add(ovTraceStepKind::Failed, {{"resolver", resolver ? resolver->getName() : ""},
                                           {"code", std::to_string(route.code)}});
    }
  }
  notifyDelegate(task, route.result, route.code);
  if (route.code == e_success && route.result) {
    task.setResult(route.result, e_success);
    return RouteStep::Deliver;
  }
  return RouteStep::LocalFallback;
}

ovProxyResolveController::RouteStep ovProxyResolveController::stepLocalFallback(Route& route) {
  ovProxyResolveTask& task = *route.task;
  auto answer = std::make_shared<ovProxyInfo>();
  task.setResult(answer, route.code);
  const eErrorCode local = local_resolver_.resolve(task.getRequestId(), task.getUrl(),
                                                   task.getExtra(), task.getConfig(), *answer);
  if (ovTraceRecord* trace = task.trace()) {
    trace->add(ovTraceStepKind::Fallback,
               {{"code", std::to_string(route.code)}, {"answer", answer->ToPacString()}});
  }
  if (local == e_success && !answer->is_direct()) {
    task.setErrorDetail(e_success, kFallbackFoundProxy);
  } else {
    task.setErrorDetail(route.code, kFallbackApplied);
  }
  return RouteStep::Deliver;
}

void ovProxyResolveController::onResolveComplete(const std::string& taskKey,
                                                 std::shared_ptr<ovProxyInfo> result,
                                                 eErrorCode error, uint32_t resolverKind) {
  if (taskKey.empty()) return;
  auto found = running_.find(taskKey);
  if (found == running_.end()) return;
  std::shared_ptr<ovProxyResolveTask> task = std::move(found->second);
  running_.erase(found);
  if (!task) return;
  routeTask(Route{.task = std::move(task),
                  .step = RouteStep::Resolved,
                  .code = error,
                  .result = std::move(result),
                  .resolver_kind = resolverKind});
}

void ovProxyResolveController::cancelTask(const std::string& requestId) {
  // Every request the caller made under this id, wherever it waits.
  std::erase_if(pending_, [&](const auto& entry) {
    return !entry.second || entry.second->getRequestId() == requestId;
  });
  std::vector<std::shared_ptr<ovProxyResolveTask>> cancelled;
  for (auto it = running_.begin(); it != running_.end();) {
    if (it->second && it->second->getRequestId() != requestId) {
      ++it;
      continue;
    }
    if (it->second) cancelled.push_back(std::move(it->second));
    it = running_.erase(it);
  }
  for (const std::shared_ptr<ovProxyResolveTask>& task : cancelled) task->cancel();
}

void ovProxyResolveController::cancelAllTasks() {
  pending_.clear();
  std::map<std::string, std::shared_ptr<ovProxyResolveTask>> running;
  running.swap(running_);
  for (auto& [id, task] : running) {
    if (task) task->cancel();
  }
}

void ovProxyResolveController::collectTimedOutTasks(TimedOutTasks& timedOut, bool& tasksRemain) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second && it->second->isTimedOut()) {
      timedOut.emplace_back(it->second->getRequestId(), std::move(it->second));
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = running_.begin(); it != running_.end();) {
    if (it->second && it->second->isTimedOut()) {
      std::shared_ptr<ovProxyResolveTask> task = std::move(it->second);
      it = running_.erase(it);
      task->cancel();
      timedOut.emplace_back(task->getRequestId(), std::move(task));
    } else {
      ++it;
    }
  }
  tasksRemain = !pending_.empty() || !running_.empty();
}

}  // namespace OVProxy
