#include "OrvaProxy/ov_winet_sync_proxy_resolver_factory.h"

#include "OrvaProxy/ov_wininet_sync_resolver.h"

namespace OVProxy {

ovWinetSyncProxyResolverFactory::ovWinetSyncProxyResolverFactory() = default;
ovWinetSyncProxyResolverFactory::~ovWinetSyncProxyResolverFactory() = default;

std::unique_ptr<ovProxyResolver> ovWinetSyncProxyResolverFactory::createResolver() {
  auto resolver = std::make_unique<ovWininetSyncResolver>();
  if (resolver->initialize() != e_success) return nullptr;
  return resolver;
}

}  // namespace OVProxy
