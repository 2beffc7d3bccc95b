#include "platform/netchange/ov_network_change_source.h"

#include <mutex>
#include <utility>

#include "platform/netchange/ov_netlink_network_change_source.h"

namespace ovplatform {
namespace {

std::mutex& FactoryMutex() {
  static std::mutex mutex;
  return mutex;
}

NetworkChangeSourceFactory& Factory() {
  static NetworkChangeSourceFactory factory;
  return factory;
}

}  // namespace

std::unique_ptr<NetworkChangeSource> CreateNetworkChangeSource() {
  NetworkChangeSourceFactory factory;
  {
    std::lock_guard<std::mutex> lock(FactoryMutex());
    factory = Factory();
  }
  if (factory) return factory();
  return std::make_unique<NetlinkNetworkChangeSource>();
}

void OverrideNetworkChangeSourceForTesting(NetworkChangeSourceFactory factory) {
  std::lock_guard<std::mutex> lock(FactoryMutex());
  Factory() = std::move(factory);
}

}  // namespace ovplatform
