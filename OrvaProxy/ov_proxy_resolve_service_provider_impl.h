// ovProxyResolveServiceProvider::Impl: the provider's working half. It owns
// the runner "proxy_resolve_runner_name" and, on it, the resolve service;
// every call posts its work there (grouping value 62, unique key
// "proxy_resolve_wrapper_uk_key", plus the request id's key for resolve
// requests) and every posted body first locks the Impl's weak self
// reference, doing nothing once the Impl is gone.
//
// Synchronous resolution waits on a SyncResolveState shared with the
// callback; its deadline is measured on the common library's monotonic
// clock (so a test clock decides it), and a caller that gave up marks the
// state abandoned so that a late answer is ignored.
//
// Thread: public operations from any thread; the service only on the runner.
// Lifetime: shared (enable_shared_from_this); destruction drops all work
// carrying the wrapper key.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "OrvaProxy/ov_proxy_resolve_service.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider.h"

namespace OVProxy {

class ovProxyResolveServiceProvider::Impl : public std::enable_shared_from_this<Impl>,
                                            public ovNetStateObserver {
 public:
  // Makes the service on the runner; empty: the module's service.
  using ServiceFactory = std::function<std::unique_ptr<ovProxyResolveServiceImpl>()>;

  explicit Impl(ServiceFactory factory = {});
  ~Impl() override;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  bool initialize(ovProxyServiceDelegate* delegate, ovProxyConfigServiceManager* manager);
  bool uninitialize();
  bool resolve(const std::string& url, const std::string& extra, ResolveCallback callback,
               const std::string& requestId, int timeoutMs);
  eErrorCode resolveSync(const std::string& url, const std::string& extra,
                         const std::string& requestId, ovProxyInfo& info, int timeoutMs);
  void cancelResolve(const std::string& requestId);
  void setDelegate(ovProxyServiceDelegate* delegate);
  ovProxyServiceDelegate* getDelegate() const;

  // ovNetStateObserver: forwarded to the service on the runner.
  void OnNetworkStateChanged(ovNetworkState state, const std::string& networkName) override;
  void OnNetSettingChange(int setting) override;

  // GUID text, upper-case hex in 8-4-4-4-12 groups.
  static std::string NewRequestId();

 private:
  void scheduleTimeoutCheck();
  void checkTimeoutTasks();
  bool post(std::function<void(Impl&)> body, const std::string& requestId = std::string());

  ServiceFactory factory_;
  // Created, used and destroyed on the runner only.
  std::unique_ptr<ovProxyResolveServiceImpl> service_;
  mutable std::mutex delegate_mutex_;
  ovProxyServiceDelegate* delegate_ = nullptr;
  std::atomic<bool> initialized_{false};
  std::atomic<bool> scheduled_{false};
};

}  // namespace OVProxy
