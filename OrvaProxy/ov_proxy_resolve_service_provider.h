// ovProxyResolveServiceProvider: the exported face of proxy resolution, a
// process-wide singleton (get_instance) that the client's other modules use
// to initialise the subsystem, resolve URLs asynchronously or synchronously
// and cancel requests. All resolution work runs on the provider's own runner
// "proxy_resolve_runner_name"; the provider adds request ids, the
// synchronous wait, the periodic time-out check (every 1000 ms while
// requests with a time-out are outstanding) and the forwarding of network
// notifications.
//
// Every request resolveProxy accepted (returned true for) is answered
// exactly once, on the provider's runner, never on the caller's thread nor
// inside the call that ended it: with the answer, with an empty answer and
// e_request_timeout at the first check after its time-out, or with an empty
// answer and e_cancelled when it is cancelled or dropped by uninitialize.
// Those e_cancelled answers are posted to the runner and run there, never
// inside cancelResolve or uninitialize (which does not wait for them), and
// before the runner is removed. A refused request (false) is
// never answered. Request ids are the caller's and may repeat: two requests
// with one id are two requests, each answered with its own URL's answer;
// cancelResolve cancels every request in flight with that id.
//
// Thread: every public operation may be called from any thread.
// initialize blocks until the service was made on the runner (and until a
// tear-down still under way finished); called on the runner (from a
// callback) it is refused and answers false. uninitialize blocks until the
// service was torn down on the runner (work queued before it, answers
// included, runs first); called from a callback it starts the tear-down,
// answers true and the tear-down completes once the callback returned; a
// later initialize from another thread then works. resolveProxySync blocks
// up to its time-out (called on the provider's own runner it cannot be
// answered before the time-out).
// Lifetime: get_instance's object is never destroyed; TermModule
// uninitialises it and waits until its runner's last task returned.
// uninitialize removes the runner once the answers it caused ran.
//
// Roads: setTraceObserver installs (null: removes) an observer that hears
// the road of every request accepted after it (ov_resolve_trace.h) and each
// change the service acts on. It may be called at any time, before or after
// initialize, from any thread. While one is installed, a synchronous call
// for a cached host is answered on the runner (so that its road is
// recorded) rather than at once on the caller's thread.
#pragma once

#include <memory>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_net_state_observer.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_manager.h"
#include "OrvaProxy/ov_error_code.h"
#include "OrvaProxy/ov_export.h"
#include "OrvaProxy/ov_resolve_callback.h"
#include "tavbiz/ov_proxy_info.h"

namespace OVProxy {

class ovResolveTraceObserver;

// Implemented by the host: the provider hands it the observer through which
// the host reports network changes (null when the delegate is detached).
class ovProxyServiceDelegate {
 public:
  virtual ~ovProxyServiceDelegate() = default;
  virtual void setNetStateObserver(ovNetStateObserver* observer) = 0;
};

class IOvProxyResolveService {
 public:
  virtual ~IOvProxyResolveService() = default;
  virtual bool initialize(ovProxyServiceDelegate* delegate) = 0;
  virtual bool uninitialize() = 0;
  // An empty `requestId` is replaced by a generated one (GUID text) and
  // written back before anything else. A URL without "://" is resolved with
  // "https://" in front. `timeoutMs` below 1 means none.
  virtual bool resolveProxy(const std::string& url, const std::string& extra,
                            ResolveCallback callback, std::string& requestId, int timeoutMs) = 0;
  virtual void cancelResolve(const std::string& requestId) = 0;
  // e_request_timeout when no answer came within `timeoutMs` (below 1: only
  // an answer that is already there counts).
  virtual eErrorCode resolveProxySync(const std::string& url, const std::string& extra,
                                      ovProxyInfo& info, int timeoutMs) = 0;
};

// The provider's working half is a class of the namespace, not a nested
// one: a Windows DLL exports the nested classes of an exported class along
// with it, and this one is no part of the module's surface.
class ovProxyResolveServiceProviderImpl;

class OV_PROXY_EXPORT ovProxyResolveServiceProvider : public IOvProxyResolveService {
 public:
  using Impl = ovProxyResolveServiceProviderImpl;

  static ovProxyResolveServiceProvider* get_instance();

  ovProxyResolveServiceProvider();
  // For tests: a provider over an implementation made by hand.
  explicit ovProxyResolveServiceProvider(std::shared_ptr<Impl> impl);
  ~ovProxyResolveServiceProvider() override;
  ovProxyResolveServiceProvider(const ovProxyResolveServiceProvider&) = delete;
  ovProxyResolveServiceProvider& operator=(const ovProxyResolveServiceProvider&) = delete;

  bool initialize(ovProxyServiceDelegate* delegate) override;
  // `manager` (null: the service makes its own) stays the caller's and must
  // outlive the provider's use of it (until uninitialize).
  bool initializeWithManager(ovProxyServiceDelegate* delegate,
                             ovProxyConfigServiceManager* manager);
  bool uninitialize() override;
  void setDelegate(ovProxyServiceDelegate* delegate);
  ovProxyServiceDelegate* getDelegate() const;
  void setTraceObserver(std::shared_ptr<ovResolveTraceObserver> observer);
  bool resolveProxy(const std::string& url, const std::string& extra, ResolveCallback callback,
                    std::string& requestId, int timeoutMs) override;
  void cancelResolve(const std::string& requestId) override;
  eErrorCode resolveProxySync(const std::string& url, const std::string& extra, ovProxyInfo& info,
                              int timeoutMs) override;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace OVProxy
