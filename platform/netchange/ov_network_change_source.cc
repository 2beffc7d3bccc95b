#include "platform/netchange/ov_network_change_source.h"

#include <mutex>
#include <utility>

#if defined(_WIN32)
#include "platform/netchange/ov_network_change_source_win.h"
#else
#include "platform/netchange/ov_netlink_network_change_source.h"
#endif

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
#if defined(_WIN32)
  return std::make_unique<IpHelperNetworkChangeSource>();
#else
  return std::make_unique<NetlinkNetworkChangeSource>();
#endif
}

void OverrideNetworkChangeSourceForTesting(NetworkChangeSourceFactory factory) {
  std::lock_guard<std::mutex> lock(FactoryMutex());
  Factory() = std::move(factory);
}

}  // namespace ovplatform
