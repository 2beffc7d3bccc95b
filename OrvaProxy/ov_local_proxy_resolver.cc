#include "OrvaProxy/ov_local_proxy_resolver.h"

#include <utility>

namespace OVProxy {
namespace {

// The first non-empty list a manual configuration offers, or null.
const ovProxyList* ChooseList(const ovProxyConfig::ProxyRules& rules) {
  using RulesType = ovProxyConfig::RulesType;
  if (rules.type == RulesType::SingleList) {
    return rules.single_proxies.IsEmpty() ? nullptr : &rules.single_proxies;
  }
  if (rules.type != RulesType::PerScheme) return nullptr;
  for (const ovProxyList* list : {&rules.proxies_for_http, &rules.proxies_for_https,
                                  &rules.proxies_for_ftp, &rules.socks_proxies}) {
    if (!list->IsEmpty()) return list;
  }
  return nullptr;
}

}  // namespace

eErrorCode ovLocalProxyResolver::initialize() {
  initialized_ = true;
  return e_success;
}

eErrorCode ovLocalProxyResolver::uninitialize() {
  initialized_ = false;
  return e_success;
}

eErrorCode ovLocalProxyResolver::resolve(const std::string& requestId, const std::string& url,
                                         const std::string& extra,
                                         std::shared_ptr<ovProxyConfig> config,
                                         ovProxyInfo& result) {
  (void)requestId;
  (void)url;
  (void)extra;
  if (!initialized_) return e_resolver_not_initialized;
  if (!config) {
    result.UseDirect();
    return e_success;
  }
  if (const ovProxyList* list = ChooseList(config->proxy_rules())) {
    result.UseProxyServer(list->First());
  } else {
    result.UseDirect();
  }
  return e_success;
}

std::string ovLocalProxyResolver::getName() {
  return "LocalProxy";
}

bool ovLocalProxyResolver::isAvailable() {
  return initialized_;
}

}  // namespace OVProxy
