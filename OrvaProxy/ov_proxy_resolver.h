// The resolver vocabulary: every way of turning a URL and a configuration
// into a proxy answer is an ovProxyResolver.
//
// Calling order: the creator constructs a resolver, for an asynchronous one
// calls setDelegate, then initialize; a failed initialize means the resolver
// is discarded. resolve and the cancel operations are called on the resolve
// service's runner; uninitialize precedes destruction.
//
// The request id a resolver is given is the resolve task's own key
// (ovProxyResolveTask::getKey), unique among the requests in flight, never
// the caller's id, which may repeat; resolvers may key their state by it.
//
// resolve outcomes: e_success means `result` holds the answer now; e_pending
// means an asynchronous resolver accepted the request and will call its
// delegate's onResolveComplete exactly once with the same request id, on the
// runner that called resolve, unless the request is cancelled first; any
// other value is a failure and no callback follows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_error_code.h"
#include "tavbiz/ov_proxy_info.h"

namespace OVProxy {

class ovProxyResolver {
 public:
  virtual ~ovProxyResolver() = default;
  virtual eErrorCode initialize() = 0;
  virtual eErrorCode uninitialize() = 0;
  // `extra` is the caller's second string, handed on unchanged. `config` is
  // the snapshot to resolve with (the callee owns its copy of the pointer).
  // `result` is written only when the call returns e_success.
  virtual eErrorCode resolve(const std::string& requestId, const std::string& url,
                             const std::string& extra, std::shared_ptr<ovProxyConfig> config,
                             ovProxyInfo& result) = 0;
  // Fixed name for logs ("LocalProxy", "WinHttpAsync", ...).
  virtual std::string getName() = 0;
  virtual bool isAvailable() = 0;
  // Synchronous resolvers have nothing to cancel.
  virtual void cancelResolve(const std::string& requestId) { (void)requestId; }
};

class ovProxyResolverDelegate {
 public:
  virtual ~ovProxyResolverDelegate() = default;
  // `result` holds the answer when `error` is e_success; on failure it is
  // empty or holds an empty answer, so receivers look at `error` first.
  // `resolverKind`: 0 for the WinHTTP-style asynchronous resolver, 1 for the
  // multi proxy resolver.
  virtual void onResolveComplete(const std::string& requestId, std::shared_ptr<ovProxyInfo> result,
                                 eErrorCode error, uint32_t resolverKind) = 0;
};

class ovProxyAsyncResolver : public ovProxyResolver {
 public:
  // Cancels through cancelRequest and ignores its answer.
  void cancelResolve(const std::string& requestId) override { (void)cancelRequest(requestId); }
  // Reserved; every asynchronous resolver answers e_not_supported.
  virtual eErrorCode reserved() { return e_not_supported; }
  // Marks one request cancelled so that its result is dropped; e_failed when
  // the resolver does not know the request.
  virtual eErrorCode cancelRequest(const std::string& requestId) = 0;
  virtual void cancelAllRequests() = 0;
  // Non-owning; set once by the creator before initialize.
  virtual void setDelegate(ovProxyResolverDelegate* delegate) = 0;
  virtual ovProxyResolverDelegate* getDelegate() = 0;
};

class ovProxyResolverFactory {
 public:
  virtual ~ovProxyResolverFactory() = default;
  // A new resolver whose initialize already succeeded, or null.
  virtual std::unique_ptr<ovProxyResolver> createResolver() = 0;
};

}  // namespace OVProxy
