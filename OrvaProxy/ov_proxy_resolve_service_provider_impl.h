// ovProxyResolveServiceProvider::Impl (ovProxyResolveServiceProviderImpl):
// the provider's working half. It owns
// the runner "proxy_resolve_runner_name" and, on it, the resolve service;
// every call posts its work there (grouping value 62, unique key
// "proxy_resolve_wrapper_uk_key"; request ids are the callers' and may
// repeat, so they key nothing) and every posted body first locks the Impl's
// weak self reference, doing nothing once the Impl is gone.
//
// Life: Down -> initialize -> Up -> uninitialize -> Closing -> Down. Closing
// stops accepting requests at once; the tear-down then runs on the runner
// (the service goes, its dropped requests' e_cancelled answers are posted
// there), and a last task posted after those answers removes the runner from
// its own thread and marks Down. initialize waits for a Closing to end.
// Called on the runner (from a callback), uninitialize only starts that
// sequence and returns true (it completes once the callback returned), and
// initialize is refused (false, logged): it cannot wait for its own runner.
//
// Synchronous resolution answers a cached host on the caller's thread (the
// host cache locks itself; the answer is the one the runner would give),
// otherwise it waits on a SyncResolveState shared with the callback; its deadline is measured on
// the common library's monotonic clock (so a test clock decides it), and a caller that gave up
// marks the state abandoned so that a late answer is ignored.
//
// Thread: public operations from any thread; the service only on the runner.
// Lifetime: shared (enable_shared_from_this); destruction drops all work
// carrying the wrapper key.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "OrvaProxy/ov_proxy_resolve_service.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider.h"
#include "orvatask/orva_task.h"

namespace OVProxy {

class ovProxyResolveServiceProviderImpl
    : public std::enable_shared_from_this<ovProxyResolveServiceProviderImpl>,
      public ovNetStateObserver {
 public:
  // Makes the service on the runner; empty: the module's service.
  using ServiceFactory = std::function<std::unique_ptr<ovProxyResolveServiceImpl>()>;

  // `cacheSource`: where synchronous calls look for cached answers (null:
  // the process's data-sync mode); it must be the one the service uses.
  using Impl = ovProxyResolveServiceProviderImpl;

  explicit ovProxyResolveServiceProviderImpl(ServiceFactory factory = {},
                                             ovProxyInfoMode* cacheSource = nullptr);
  ~ovProxyResolveServiceProviderImpl() override;
  ovProxyResolveServiceProviderImpl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  bool initialize(ovProxyServiceDelegate* delegate, ovProxyConfigServiceManager* manager);
  bool uninitialize();
  // For module unload: uninitialize, then wait until the runner's last task
  // returned, so no code of the module runs on it afterwards. False (and
  // nothing done) on the resolve runner itself.
  bool shutDown();

  // The Impl behind get_instance's provider: made on first use, never
  // destroyed (a runner task may still hold it while statics go).
  static std::shared_ptr<Impl> Module();
  // Module(), or null when it was never made.
  static std::shared_ptr<Impl> ModuleIfMade();
  bool resolve(const std::string& url, const std::string& extra, ResolveCallback callback,
               const std::string& requestId, int timeoutMs);
  eErrorCode resolveSync(const std::string& url, const std::string& extra,
                         const std::string& requestId, ovProxyInfo& info, int timeoutMs);
  void cancelResolve(const std::string& requestId);
  void setDelegate(ovProxyServiceDelegate* delegate);
  ovProxyServiceDelegate* getDelegate() const;
  // Kept for the services made later; handed to the one running, on the
  // runner.
  void setTraceObserver(std::shared_ptr<ovResolveTraceObserver> observer);

  // ovNetStateObserver: forwarded to the service on the runner.
  void OnNetworkStateChanged(ovNetworkState state, const std::string& networkName) override;
  void OnNetSettingChange(int setting) override;

  // GUID text, upper-case hex in 8-4-4-4-12 groups.
  static std::string NewRequestId();

 private:
  enum class Life { Down, Starting, Up, Closing };

  static bool OnResolveRunner();
  void setLife(Life life, bool accepting);
  // On the runner: drops the service and posts FinishTeardown behind the
  // answers that posted.
  bool tearDownOnRunner();
  // Removes the runner; then `self` (null once the Impl is gone) is Down.
  static void FinishTeardown(Impl* self);
  void scheduleTimeoutCheck();
  void checkTimeoutTasks();
  bool post(std::function<void(Impl&)> body, const std::string& requestId = std::string());

  // A cached host answers a synchronous call on the caller's thread.
  bool answerFromCache(const std::string& url, const std::string& requestId, ovProxyInfo& info);

  ServiceFactory factory_;
  ovProxyInfoMode* cache_source_;
  // Created, used and destroyed on the runner only.
  std::unique_ptr<ovProxyResolveServiceImpl> service_;
  mutable std::mutex delegate_mutex_;
  ovProxyServiceDelegate* delegate_ = nullptr;
  // Accepting requests (Up). Written under life_mutex_; resolve checks it
  // there again while posting.
  std::atomic<bool> initialized_{false};
  std::mutex life_mutex_;
  std::condition_variable life_changed_;
  Life life_ = Life::Down;           // guarded by life_mutex_
  OrvaTask::TaskPtr last_teardown_;  // guarded by life_mutex_
  // Runner only: the service was torn down (queued requests hear e_cancelled).
  bool torn_down_ = false;
  std::atomic<bool> scheduled_{false};
  mutable std::mutex trace_mutex_;
  std::shared_ptr<ovResolveTraceObserver> trace_observer_;  // guarded by trace_mutex_
  std::atomic<bool> tracing_{false};
};

}  // namespace OVProxy
