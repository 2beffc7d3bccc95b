#include "OrvaProxy/ov_multi_proxy_resolver_factory.h"

#include <utility>

#include "OrvaProxy/ov_multi_proxy_resolver.h"

namespace OVProxy {

ovMultiProxyResolverFactory::ovMultiProxyResolverFactory(
    std::shared_ptr<ovProxyResolverFactory> inner)
    : inner_(std::move(inner)) {}

ovMultiProxyResolverFactory::~ovMultiProxyResolverFactory() = default;

std::unique_ptr<ovProxyResolver> ovMultiProxyResolverFactory::createResolver() {
  return createAsyncResolver();
}

std::unique_ptr<ovProxyAsyncResolver> ovMultiProxyResolverFactory::createAsyncResolver() {
  auto resolver = std::make_unique<ovMultiProxyResolver>(inner_);
  resolver->initialize();
  return resolver;
}

}  // namespace OVProxy
