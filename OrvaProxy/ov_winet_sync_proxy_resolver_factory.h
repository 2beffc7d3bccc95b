// ovWinetSyncProxyResolverFactory: makes ovWininetSyncResolver instances,
// already initialized, for the executor jobs of the multi proxy resolver.
//
// Threads: createResolver may be called from any thread; each resolver is
// then used by one thread at a time.
#pragma once

#include <memory>

#include "OrvaProxy/ov_proxy_resolver.h"

namespace OVProxy {

class ovWinetSyncProxyResolverFactory : public ovProxyResolverFactory {
 public:
  ovWinetSyncProxyResolverFactory();
  ~ovWinetSyncProxyResolverFactory() override;

  // A new initialized resolver, or null when initialize failed.
  std::unique_ptr<ovProxyResolver> createResolver() override;
};

}  // namespace OVProxy
