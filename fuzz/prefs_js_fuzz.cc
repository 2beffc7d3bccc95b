// prefs.js texts: reading never crashes, every kept statement holds the
// filter, and the Firefox mapping gives a record of its own source.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_firefox.h"
#include "OrvaProxy/ovProxyConfig/prejs_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  OVProxy::prejs_parser prefs("fuzz");
  prefs.load_text(text, "network.proxy");
  for (const auto& statement : prefs.statements()) {
    if (statement.find("network.proxy") == std::string::npos) std::abort();
  }
  OVProxy::ovProxyConfig config;
  const auto availability = OVProxy::ovProxyConfigServiceFirefox::MapPreferences(prefs, config);
  if (availability == OVProxy::CONFIG_VALID && config.source() != OVProxy::ConfigSource::Firefox) {
    std::abort();
  }
  (void)config.toString();
  return 0;
}
