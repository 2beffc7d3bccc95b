// ResolveCallback: how an answer reaches the caller of a resolve request:
// (request id, answer, code), called at most once.
#pragma once

#include <functional>
#include <string>

#include "OrvaProxy/ov_error_code.h"
#include "tavbiz/ov_proxy_info.h"

namespace OVProxy {

using ResolveCallback =
    std::function<void(const std::string& requestId, const ovProxyInfo& answer, eErrorCode error)>;

}  // namespace OVProxy
