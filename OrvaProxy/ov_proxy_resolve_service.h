// ovProxyResolveService: the request layer between the provider and the
// resolve controller. ovProxyResolveServiceImpl answers repeated hosts from
// the shared host cache, turns every other request into a resolve task,
// holds tasks back while no configuration is known (the waiting queue, first
// in first out), gives each task its configuration snapshot (the manager's,
// or the one another process shared), hands it to the controller, stores
// successful answers in the host cache and finishes tasks that ran past
// their time-out with e_request_timeout.
//
// Configuration changes restart the PAC decision and release the waiting
// queue. Network changes also re-poll the sources, make the PAC decider
// detect and download again (forgetting the script in force) and clear the
// host cache: answers made under another network's (or an older)
// configuration would otherwise keep being served. The cache is also
// cleared whenever the script in force changes text (a revalidation found a
// new one), not when it is unchanged. An answer of a task handed to the
// controller before the cache was last cleared is not written to it.
// The cache is also cleared on a configuration change once a configuration
// was in force, and on the first configuration of a start when it differs
// from the one shared in the data-sync store (the answers cached under it
// are for another configuration); otherwise what other processes already
// cached is kept.
//
// Every request is answered exactly once: from the cache, through the
// task's callback, with an empty answer and the failure code, or, when the
// caller cancels it or uninitialize drops it, with an empty answer and
// e_cancelled, posted to the runner by the wrapper resolve puts around every
// callback (AnswerExactlyOnce) once the request's last holder let it go.
// Request ids may repeat; each request is a task with a key of its own.
//
// Roads: with a trace observer installed (setTraceObserver) each request
// carries a record of its road (ov_resolve_trace.h), handed to the observer
// just before the caller's callback; the service also tells it each change
// it acts on, with its cause. Without one nothing is recorded.
//
// Thread: every operation, including the observer callbacks, runs on the
// runner it was initialised on ("proxy_resolve_runner_name"); no locks. The
// host cache and configuration store lock themselves.
// Lifetime: created and destroyed on that runner by the provider;
// uninitialize before destruction detaches from the manager and the decider.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "OrvaProxy/ovProxyConfig/ov_net_state_observer.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_manager.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_observer.h"
#include "OrvaProxy/ov_error_code.h"
#include "OrvaProxy/ov_proxy_resolve_controller.h"
#include "OrvaProxy/ov_proxy_resolve_controller_delegate.h"
#include "OrvaProxy/ov_proxy_resolve_task.h"
#include "OrvaProxy/ov_resolve_trace.h"

namespace OVProxy {

class ovProxyInfoMode;

class ovProxyResolveService {
 public:
  virtual ~ovProxyResolveService() = default;
  // `manager` (may be null: the service makes its own) stays the caller's.
  virtual bool initialize(ovProxyConfigServiceManager* manager) = 0;
  virtual bool uninitialize() = 0;
  // e_success (answered at once), e_pending (answered later) or the failure
  // the caller was already answered with.
  virtual eErrorCode resolve(const std::string& url, const std::string& extra,
                             ResolveCallback callback, std::string requestId,
                             int32_t timeoutMs) = 0;
  // Every request in flight with this id is dropped; each caller hears
  // e_cancelled later, posted to the runner (never inside this call).
  virtual void cancel(const std::string& requestId) = 0;
};

// What the service makes and reaches; tests replace the parts.
struct ovResolveServiceParts {
  ovResolveControllerParts controller;
  // Null: the process's data-sync mode (ovProxyInfoModeImpl::GetInstance).
  ovProxyInfoMode* info_mode = nullptr;
  // Makes the service's own manager for the given owner runner; empty:
  // ovProxyConfigServiceManagerImpl. A null result fails initialize.
  std::function<std::unique_ptr<ovProxyConfigServiceManager>(const std::string& ownerRunner)>
      make_manager;

  // The module's parts: the controller's, with the PAC decider sharing
  // verified scripts with the client's other processes.
  static ovResolveServiceParts Module();
};

class ovProxyResolveServiceImpl : public ovProxyResolveService,
                                  public ovProxyConfigServiceObserver,
                                  public ovNetStateObserver,
                                  public ovProxyResolveControllerDelegate {
 public:
  enum class ServiceState : int32_t { Uninitialized = 0, WaitingForConfig = 1, Ready = 2 };

  explicit ovProxyResolveServiceImpl(ovResolveServiceParts parts = ovResolveServiceParts::Module());
  ~ovProxyResolveServiceImpl() override;
  ovProxyResolveServiceImpl(const ovProxyResolveServiceImpl&) = delete;
  ovProxyResolveServiceImpl& operator=(const ovProxyResolveServiceImpl&) = delete;

  // The host-cache key of a URL: its scheme in lower case, "://" and its
  // authority (the text after "://" up to the first "/", "?" or "#") without
  // user information, port kept; the whole URL when it has no "://". A
  // script may answer each scheme differently, so the scheme is kept apart;
  // the cache is shared with other processes, so neither credentials nor
  // query text may reach a key.
  static std::string hostKey(const std::string& url);

  bool initialize(ovProxyConfigServiceManager* manager) override;
  bool uninitialize() override;
  eErrorCode resolve(const std::string& url, const std::string& extra, ResolveCallback callback,
                     std::string requestId, int32_t timeoutMs) override;
  void cancel(const std::string& requestId) override;

  // Finishes every task past its time-out with an empty answer and
  // e_request_timeout; `more`: tasks remain that a later check must see.
  void checkTimeouts(bool& more);

  // ovProxyConfigServiceObserver: the arguments are not used; the
  // configuration is read again from the manager where needed.
  void onProxyConfigChanged(const ovProxyConfig& config,
                            ovProxyConfigAvailability availability) override;
  // ovNetStateObserver: a repeat of the stored state and name does nothing.
  void OnNetworkStateChanged(ovNetworkState state, const std::string& networkName) override;
  void OnNetSettingChange(int setting) override;
  // ovProxyResolveControllerDelegate: stores successful answers.
  void onTaskComplete(const std::string& requestId, const std::string& url,
                      std::shared_ptr<ovProxyInfo> result, eErrorCode error) override;

  // Null: no roads are recorded.
  void setTraceObserver(std::shared_ptr<ovResolveTraceObserver> observer) {
    trace_observer_ = std::move(observer);
  }

  ServiceState state() const { return state_; }
  std::size_t waitingCount() const { return waiting_.size(); }
  ovProxyResolveController& controller() { return controller_; }

 private:
  // `waited`: the task waited for the first configuration.
  eErrorCode assignConfig(const std::shared_ptr<ovProxyResolveTask>& task, bool waited);
  // Where the manager's configuration comes from, for people.
  std::string describeSource();
  void traceConfig(const ovProxyResolveTask& task, const std::string& source, bool waited);
  void reportChange(ovChangeCause cause);
  eErrorCode submitTask(const std::shared_ptr<ovProxyResolveTask>& task, bool deliver);
  void completeWithDirect(const std::shared_ptr<ovProxyResolveTask>& task, eErrorCode code);
  void checkConfigState();
  void drainWaitingQueue();
  void resetForNetworkChange();
  void clearHostCache(const char* reason);
  // The cache epoch a task was handed to the controller in, taken out of
  // the record; none for a task not recorded.
  std::optional<uint64_t> takeTaskEpoch(const std::string& requestId);
  // Whether the manager's valid configuration is the one shared in the
  // data-sync store (true when either is missing).
  bool MatchesSharedConfig();

  ovProxyResolveController controller_;
  ovProxyInfoMode* info_mode_;
  std::function<std::unique_ptr<ovProxyConfigServiceManager>(const std::string&)> make_manager_;
  std::shared_ptr<ovProxyConfigServiceManager> manager_;
  ServiceState state_ = ServiceState::Uninitialized;
  std::deque<std::shared_ptr<ovProxyResolveTask>> waiting_;
  ovNetworkState network_state_ = ovNetworkState::Connected;
  std::string network_name_;
  // A configuration was in force: a later change makes cached answers stale.
  bool had_config_ = false;
  // Counts host-cache clears; each task handed to the controller is
  // recorded with the count at that time, so that an answer computed under
  // what a clear forgot (an old script, configuration or network) is not
  // cached when it arrives later.
  uint64_t cache_epoch_ = 0;
  std::unordered_multimap<std::string, uint64_t> task_epochs_;
  std::shared_ptr<ovResolveTraceObserver> trace_observer_;
};

}  // namespace OVProxy
