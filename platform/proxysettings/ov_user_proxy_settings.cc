#include "platform/proxysettings/ov_user_proxy_settings.h"

#include <atomic>

namespace ovplatform {
namespace {

std::atomic<UserProxySettingsReader*>& Installed() {
  static std::atomic<UserProxySettingsReader*> reader{nullptr};
  return reader;
}

}  // namespace

UserProxySettingsReader& GetUserProxySettingsReader() {
  if (UserProxySettingsReader* reader = Installed().load(std::memory_order_acquire)) {
    return *reader;
  }
  return SystemUserProxySettingsReader();
}

void OverrideUserProxySettingsReaderForTesting(UserProxySettingsReader* reader) {
  Installed().store(reader, std::memory_order_release);
}

}  // namespace ovplatform
