// The road of `ovproxy resolve`: every URL becomes a resolve task handed to
// the module's resolve controller, on the resolve runner, so the tool's
// answers (bypass, the system-shaped fast path, the PAC decision, resolver
// selection and the local fallback) are the module's own.
//
// Thread: blocks the caller until every task was answered or kAnswerLimit
// passed; the controller lives on "proxy_resolve_runner_name" (created for
// the call when missing, and removed again). Without a task manager the
// controller runs on the calling thread, which is enough for manual
// configurations; automatic ones then stay unanswered.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_error_code.h"
#include "tavbiz/ov_proxy_info.h"

namespace ovproxy {

// Longer than any automatic road can take: the PAC decision gives up after
// 5 s and the system-shaped resolver's time-outs add up to 10 s.
inline constexpr std::chrono::seconds kAnswerLimit{60};

struct RoadAnswer {
  bool answered = false;
  OVProxy::ovProxyInfo answer;
  // As the caller of the module receives it: a local fallback answer comes
  // with the failed resolver's code.
  OVProxy::eErrorCode error = OVProxy::e_unavailable;
};

// One answer per URL, in order. URLs must not be empty.
std::vector<RoadAnswer> ResolveThroughController(std::shared_ptr<OVProxy::ovProxyConfig> config,
                                                 const std::vector<std::string>& urls);

}  // namespace ovproxy
