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
// exactly once, on the provider's runner: with the answer, with an empty
// answer and e_request_timeout at the first check after its time-out, or
// with an empty answer and e_cancelled when it is cancelled or dropped by
// uninitialize (that last answer runs on the thread calling uninitialize).
// A refused request (false) is never answered.
//
// Thread: every public operation may be called from any thread; initialize
// and uninitialize block the caller until their work ran on the runner;
// resolveProxySync blocks up to its time-out (called on the provider's own
// runner it cannot be answered before the time-out).
// Lifetime: get_instance's object lives until process exit; uninitialize
// removes the runner and all queued work of the subsystem.
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
  bool resolveProxy(const std::string& url, const std::string& extra, ResolveCallback callback,
                    std::string& requestId, int timeoutMs) override;
  void cancelResolve(const std::string& requestId) override;
  eErrorCode resolveProxySync(const std::string& url, const std::string& extra, ovProxyInfo& info,
                              int timeoutMs) override;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace OVProxy
