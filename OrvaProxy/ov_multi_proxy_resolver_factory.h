// ovMultiProxyResolverFactory: makes ovMultiProxyResolver instances whose
// executors use the inner factory (in this library an
// ovWinetSyncProxyResolverFactory) for their synchronous resolvers.
//
// The resolvers it makes are asynchronous; createAsyncResolver hands them
// out as such, createResolver as the base type. Both are already
// initialized (that cannot fail). The inner factory is shared with every
// resolver made and must accept calls from any thread.
//
// Thread: any. Lifetime: independent of the resolvers it made.
#pragma once

#include <memory>

#include "OrvaProxy/ov_proxy_resolver.h"

namespace OVProxy {

class ovMultiProxyResolverFactory : public ovProxyResolverFactory {
 public:
  explicit ovMultiProxyResolverFactory(std::shared_ptr<ovProxyResolverFactory> inner);
  ~ovMultiProxyResolverFactory() override;

  std::unique_ptr<ovProxyResolver> createResolver() override;
  std::unique_ptr<ovProxyAsyncResolver> createAsyncResolver();

 private:
  const std::shared_ptr<ovProxyResolverFactory> inner_;
};

}  // namespace OVProxy
