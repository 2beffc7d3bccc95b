// ovLocalProxyResolver ("LocalProxy"): answers from the manual rules of a
// configuration, without any PAC script. The resolve controller uses it for
// configurations without automatic settings and as the fallback after
// another resolver failed.
//
// The answer holds one server at most: the first of the single list, else of
// the first non-empty per-scheme list (http, https, ftp), else of the SOCKS
// list, else DIRECT. The URL's scheme plays no part, and bypass rules are
// not consulted here: callers apply them before choosing a resolver.
//
// Thread: synchronous; called on one runner at a time. Lifetime: initialize
// before resolve, uninitialize before destruction. Nothing to cancel.
#pragma once

#include <memory>
#include <string>

#include "OrvaProxy/ov_proxy_resolver.h"

namespace OVProxy {

class ovLocalProxyResolver : public ovProxyResolver {
 public:
  eErrorCode initialize() override;
  eErrorCode uninitialize() override;
  // e_resolver_not_initialized (result untouched) before initialize;
  // otherwise e_success, DIRECT for an empty configuration.
  eErrorCode resolve(const std::string& requestId, const std::string& url, const std::string& extra,
                     std::shared_ptr<ovProxyConfig> config, ovProxyInfo& result) override;
  std::string getName() override;
  bool isAvailable() override;

 private:
  bool initialized_ = false;
};

}  // namespace OVProxy
