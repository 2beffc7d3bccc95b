#include "OrvaProxy/ov_proxy_resolve_service_provider.h"

#include <utility>

#include "OrvaProxy/ov_proxy_resolve_service_provider_impl.h"
#include "tavlib/tav_no_destructor.h"

namespace OVProxy {

ovProxyResolveServiceProvider* ovProxyResolveServiceProvider::get_instance() {
  // Never destroyed: at process exit the runner may still be running its
  // work, and TermModule, not a static destructor, is what stops it.
  static Tav::NoDestructor<ovProxyResolveServiceProvider> instance(Impl::Module());
  return instance.get();
}

ovProxyResolveServiceProvider::ovProxyResolveServiceProvider() : impl_(std::make_shared<Impl>()) {}

ovProxyResolveServiceProvider::ovProxyResolveServiceProvider(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl)) {}

ovProxyResolveServiceProvider::~ovProxyResolveServiceProvider() = default;

bool ovProxyResolveServiceProvider::initialize(ovProxyServiceDelegate* delegate) {
  return initializeWithManager(delegate, nullptr);
}

bool ovProxyResolveServiceProvider::initializeWithManager(ovProxyServiceDelegate* delegate,
                                                          ovProxyConfigServiceManager* manager) {
  return impl_ && impl_->initialize(delegate, manager);
}

bool ovProxyResolveServiceProvider::uninitialize() {
  return impl_ && impl_->uninitialize();
}

void ovProxyResolveServiceProvider::setDelegate(ovProxyServiceDelegate* delegate) {
  if (impl_) impl_->setDelegate(delegate);
}

void ovProxyResolveServiceProvider::setTraceObserver(
    std::shared_ptr<ovResolveTraceObserver> observer) {
  if (impl_) impl_->setTraceObserver(std::move(observer));
}

ovProxyServiceDelegate* ovProxyResolveServiceProvider::getDelegate() const {
  return impl_ ? impl_->getDelegate() : nullptr;
}

bool ovProxyResolveServiceProvider::resolveProxy(const std::string& url, const std::string& extra,
                                                 ResolveCallback callback, std::string& requestId,
                                                 int timeoutMs) {
  if (!impl_) return false;
  if (requestId.empty()) requestId = Impl::NewRequestId();
  return impl_->resolve(url, extra, std::move(callback), requestId, timeoutMs);
}

void ovProxyResolveServiceProvider::cancelResolve(const std::string& requestId) {
  if (impl_) impl_->cancelResolve(requestId);
}

eErrorCode ovProxyResolveServiceProvider::resolveProxySync(const std::string& url,
                                                           const std::string& extra,
                                                           ovProxyInfo& info, int timeoutMs) {
  if (!impl_) return e_not_initialized;
  return impl_->resolveSync(url, extra, Impl::NewRequestId(), info, timeoutMs);
}

}  // namespace OVProxy
