// ovProxyResolveController: decides how each resolve task is answered. It
// owns the PAC file decider and the resolvers, keeps the tasks that wait for
// the PAC decision (pending) and those running on an asynchronous resolver
// (running), picks a resolver per task and falls back to the local resolver
// when a resolution fails, at its start or later.
//
// The road of a task (RouteStep, one step per state, in routeTask):
//
//   addTask -> pending --(fast path: automatic settings, no PAC script
//                         known, "WinInetOnly" off, system-shaped resolver
//                         present)--> CheckBypass with that resolver
//           pending --(decision made: processPendingTasks, in the order made)-->
//                         CheckBypass, then SelectResolver
//   CheckBypass    -> AnswerDirect (bypassed URL) | SelectResolver | Start
//   AnswerDirect   -> ReportSuccess (DIRECT, e_success)
//   SelectResolver -> Start | NoResolver
//   Start          -> ReportSuccess (e_success) | AwaitResolver (e_pending)
//                     | StartFailed (any other code)
//                     | Done (the task was cancelled before it started)
//   AwaitResolver  -> in running; onResolveComplete resumes at Resolved
//   Resolved       -> Deliver (success with an answer) | LocalFallback
//   LocalFallback  -> Deliver (local answer, the resolver's error)
//   StartFailed    -> LocalFallback
//   ReportSuccess, NoResolver -> Deliver -> Done
//
// The delegate hears every outcome once (onTaskComplete, with the
// resolver's own outcome before any fallback) and the caller's callback is
// invoked once (invokeCallback posts it). Resolver selection, first match:
// no configuration or no automatic settings: local resolver; "WinInetOnly":
// multi proxy resolver; PAC script known and PK resolver available: PK
// resolver; otherwise the system-shaped resolver ("WinHttpAsync").
//
// Decisions toward the caller:
// - Apart from cancellation and time-outs (which the service finishes), no
//   task leaves both maps unanswered. A pending task for which no resolver
//   exists (e_not_supported) gets its callback with that error, and the
//   delegate is told.
// - A resolver that refuses a task at its start (the system's resolution
//   service failing at once, as WinHTTP does when its auto-proxy service is
//   unavailable: 12178) is treated like one that fails later: the delegate
//   hears the failure and the caller gets the local resolver's answer with
//   that error. Delivering no answer there would leave automatic settings
//   without any answer while the service is down.
// - When the local fallback finds a proxy, the caller receives that answer
//   with the failed resolver's error; only the task's error detail records
//   e_success. Callers that test for 0 treat the answer as a failure.
// - A task carrying a newer configuration while the decision runs restarts
//   the decision with that configuration (the decider always works on the
//   newest one); the fast path resolves with the decider's configuration
//   only when that is not older than the task's own; a decision started
//   without any configuration processes the waiting tasks at once.
//
// The decision (DecisionState): Idle -> Deciding (GetPacContent) ->
// Decided (processPendingTasks). A newer configuration or resetDecision
// returns to Idle; advanceDecision moves on.
//
// Keys: both maps, and every resolver the controller starts, know a task by
// its own key (ovProxyResolveTask::getKey), never by the caller's request
// id, which may repeat: two requests with one id are two tasks, each
// answered once with its own URL's answer. Both maps therefore hold tasks in
// the order they were made. cancelTask, given a caller's id, cancels every
// task carrying it.
//
// Thread: single-threaded by contract on the resolve service's runner; the
// decider and the asynchronous resolvers notify on that runner. No locks.
// Lifetime: owned by the resolve service. Destruction cancels the running
// requests without callbacks and detaches from the resolvers, so a resolver
// kept alive by a task never calls back into a destroyed controller.
// Cancellation: cancelTask and cancelAllTasks make no callback themselves;
// the tasks they drop are answered e_cancelled by the service's wrapper
// (AnswerExactlyOnce), posted to the runner.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "OrvaProxy/ov_error_code.h"
#include "OrvaProxy/ov_i_pac_file_decider.h"
#include "OrvaProxy/ov_local_proxy_resolver.h"
#include "OrvaProxy/ov_proxy_resolve_controller_delegate.h"
#include "OrvaProxy/ov_proxy_resolve_task.h"
#include "OrvaProxy/ov_proxy_resolver.h"

namespace OVProxy {

class IOvProxyEnterpriseAdapter;
class ovWinetSyncProxyResolverFactory;

enum class DecisionState : int32_t { Idle = 0, Deciding = 1, Decided = 2 };

// How the controller makes what it owns. A maker that is empty or returns
// null leaves that part absent (a resolver whose set-up failed).
struct ovResolveControllerParts {
  std::function<std::shared_ptr<ovProxyAsyncResolver>()> make_winhttp;
  // Given the synchronous resolver factory the controller created.
  std::function<std::shared_ptr<ovProxyAsyncResolver>(std::shared_ptr<ovProxyResolverFactory>)>
      make_multi;
  std::function<std::shared_ptr<ovProxyAsyncResolver>()> make_pk;
  std::function<std::unique_ptr<ovIPacFileDecider>()> make_decider;
  // Null: the module's adapter.
  IOvProxyEnterpriseAdapter* adapter = nullptr;

  // The module's parts: createWinHttpAsyncResolver, an
  // ovMultiProxyResolverFactory over the synchronous factory, ovPKResolver
  // and ovPacFileDeciderHost.
  static ovResolveControllerParts Module();
};

class ovProxyResolveController : public ovPacFileDeciderDelegate, public ovProxyResolverDelegate {
 public:
  using TimedOutTasks = std::vector<std::pair<std::string, std::shared_ptr<ovProxyResolveTask>>>;

  // Telemetry of asynchronous outcomes (ovTelemetryReporter).
  static constexpr int32_t kResolveLatencyMetric = 23;
  static constexpr int32_t kWinHttpFailedEvent = 4;
  static constexpr int32_t kMultiFailedEvent = 5;
  static constexpr int32_t kOtherFailedEvent = 8;

  explicit ovProxyResolveController(
      ovResolveControllerParts parts = ovResolveControllerParts::Module());
  ~ovProxyResolveController() override;
  ovProxyResolveController(const ovProxyResolveController&) = delete;
  ovProxyResolveController& operator=(const ovProxyResolveController&) = delete;

  void setDelegate(ovProxyResolveControllerDelegate* delegate) { delegate_ = delegate; }

  // e_invalid_argument for a null task; otherwise e_pending, and the answer
  // comes through the task's callback.
  eErrorCode addTask(std::shared_ptr<ovProxyResolveTask> task);
  // Removes the pending tasks, and cancels and removes the running ones,
  // that carry the caller's `requestId`. No callback from here.
  void cancelTask(const std::string& requestId);
  void cancelAllTasks();
  // Pending tasks past their time-out (removed, not cancelled), then running
  // ones (cancelled and removed), each group in the order the tasks were
  // made; each listed with the caller's request id.
  // `tasksRemain`: either map still holds tasks.
  void collectTimedOutTasks(TimedOutTasks& timedOut, bool& tasksRemain);

  // After a network change: the decider forgets its failed download and the
  // decision starts over.
  void resetDecision();
  void setDecisionState(DecisionState state) { decision_state_ = state; }
  DecisionState decisionState() const { return decision_state_; }
  void advanceDecision();

  ovIPacFileDecider& decider() { return *decider_; }
  std::size_t pendingTaskCount() const { return pending_.size(); }
  std::size_t runningTaskCount() const { return running_.size(); }

  // ovPacFileDeciderDelegate: only `success` is read, and failure is treated
  // as success is: the waiting tasks start with whatever the decider holds.
  void onPacDecisionComplete(bool success, const std::string& pacContent,
                             const std::string& backupPacContent) override;
  // ovProxyResolverDelegate: `taskKey` is the key the resolver was given;
  // keys not in the running map are ignored.
  void onResolveComplete(const std::string& taskKey, std::shared_ptr<ovProxyInfo> result,
                         eErrorCode error, uint32_t resolverKind) override;

 private:
  enum class RouteStep {
    CheckBypass,
    AnswerDirect,
    SelectResolver,
    Start,
    AwaitResolver,
    Resolved,
    LocalFallback,
    ReportSuccess,
    StartFailed,
    NoResolver,
    Deliver,
    Done,
  };
  enum class Road { FastPath, Decided };

  // One task on its road: where it is and what the previous step found.
  struct Route {
    std::shared_ptr<ovProxyResolveTask> task;
    Road road = Road::Decided;
    RouteStep step = RouteStep::CheckBypass;
    std::shared_ptr<ovProxyResolver> resolver;  // chosen, or given by the fast path
    std::shared_ptr<ovProxyConfig> select_config;
    eErrorCode code = e_success;
    std::shared_ptr<ovProxyInfo> result;
    uint32_t resolver_kind = 0;
  };

  void routeTask(Route route);
  RouteStep stepResolved(Route& route);
  RouteStep stepLocalFallback(Route& route);

  bool tryWinHttpFastPath(const std::shared_ptr<ovProxyResolveTask>& task);
  // True when the decider took the task's configuration.
  bool syncDeciderConfig(const std::shared_ptr<ovProxyResolveTask>& task, bool needsDecision);
  void processPendingTasks();
  // `why` (when not null) receives the reason for the choice.
  std::shared_ptr<ovProxyResolver> selectResolver(const std::shared_ptr<ovProxyConfig>& config,
                                                  const char** why = nullptr);
  bool shouldBypass(const ovProxyResolveTask& task) const;
  // Records the choice on a traced task: the resolver, why, and for
  // automatic settings the facts the decider's script rests on (`withPac`
  // false: only once the decider has some).
  void traceChoice(const ovProxyResolveTask& task, ovProxyResolver* resolver, const char* why,
                   bool withPac);
  bool winInetOnly();
  void createResolvers(ovResolveControllerParts& parts);
  void notifyDelegate(const ovProxyResolveTask& task, std::shared_ptr<ovProxyInfo> result,
                      eErrorCode error);

  ovProxyResolveControllerDelegate* delegate_ = nullptr;
  std::map<std::string, std::shared_ptr<ovProxyResolveTask>> running_;
  std::map<std::string, std::shared_ptr<ovProxyResolveTask>> pending_;
  DecisionState decision_state_ = DecisionState::Idle;
  std::unique_ptr<ovIPacFileDecider> decider_;
  std::shared_ptr<ovProxyAsyncResolver> multi_resolver_;
  std::shared_ptr<ovProxyAsyncResolver> winhttp_resolver_;
  std::shared_ptr<ovWinetSyncProxyResolverFactory> sync_factory_;
  std::shared_ptr<ovProxyAsyncResolver> pk_resolver_;
  ovLocalProxyResolver local_resolver_;
  IOvProxyEnterpriseAdapter* adapter_ = nullptr;
};

}  // namespace OVProxy
