// Manual proxy strings: parsing never crashes, and the rules it yields are
// self-consistent (a type that matches the lists it filled, every server with
// a host and a port in 1-65535).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using OVProxy::ovProxyConfig;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ovProxyConfig config;
  ovProxyConfig::ProxyRules& rules = config.proxy_rules();
  rules.ParseFromString(text);
  const bool per_scheme_lists = !rules.proxies_for_http.IsEmpty() ||
                                !rules.proxies_for_https.IsEmpty() ||
                                !rules.proxies_for_ftp.IsEmpty() || !rules.socks_proxies.IsEmpty();
  if (rules.type == ovProxyConfig::RulesType::PerScheme && !per_scheme_lists) std::abort();
  if (rules.type != ovProxyConfig::RulesType::PerScheme && per_scheme_lists) std::abort();
  if (rules.type != ovProxyConfig::RulesType::SingleList && !rules.single_proxies.IsEmpty()) {
    std::abort();
  }
  for (const OVProxy::ovProxyList* list : {&rules.proxies_for_http, &rules.proxies_for_https,
                                           &rules.proxies_for_ftp, &rules.socks_proxies}) {
    for (const auto& server : list->servers()) {
      if (server.port < 1 || server.port > 65535) std::abort();
      if (server.host.find_first_not_of(" \t") == std::string::npos) std::abort();
    }
  }
  (void)config.toString();
  ovProxyConfig copy = config;
  if (copy != config) std::abort();
  return 0;
}
