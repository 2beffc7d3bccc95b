// Automatic configurations for `ovproxy resolve` (--pac-url, --auto-detect):
// a small stand-in for the routing the resolve controller will do.
//
// With a PAC URL the script is fetched once first (the same rules as the
// system-shaped service: no proxy, http and https only, 1 MiB); when that
// works the PK resolver races the in-process engine against the
// system-shaped resolver, otherwise the system-shaped resolver alone answers.
// Whatever fails is answered by the local resolver from the same
// configuration (its manual rules, else DIRECT), marked as a fallback with
// the failing resolver's code, so every URL gets an answer.
//
// Thread: blocks the caller until every URL is answered; the resolvers run
// on "proxy_resolve_runner_name" (created for the call when missing).
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_error_code.h"
#include "tavbiz/ov_proxy_info.h"

namespace ovproxy {

struct AutoAnswer {
  OVProxy::ovProxyInfo answer;
  OVProxy::eErrorCode error = OVProxy::e_unavailable;  // of the automatic resolver
  bool fallback = false;                               // answer is the local resolver's
};

// `urls` must not be empty strings. Notes about the script fetch go to `err`.
std::vector<AutoAnswer> ResolveAutomatically(std::shared_ptr<OVProxy::ovProxyConfig> config,
                                             const std::vector<std::string>& urls,
                                             std::ostream& err);

}  // namespace ovproxy
