// ovProxyResolveControllerDelegate: how the resolve controller tells its
// owner (the resolve service) what became of a task.
//
// Thread: called on the resolve service's runner, from inside controller
// operations; the caller's callback is posted separately.
#pragma once

#include <memory>
#include <string>

#include "OrvaProxy/ov_error_code.h"
#include "tavbiz/ov_proxy_info.h"

namespace OVProxy {

class ovProxyResolveControllerDelegate {
 public:
  virtual ~ovProxyResolveControllerDelegate() = default;
  // The outcome of the resolver (or the bypass rule) for one task, before any
  // local fallback: `result` is null on failure.
  virtual void onTaskComplete(const std::string& requestId, const std::string& url,
                              std::shared_ptr<ovProxyInfo> result, eErrorCode error) = 0;
  // Reserved; the controller never calls it.
  virtual void onReserved() {}
};

}  // namespace OVProxy
