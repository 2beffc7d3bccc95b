// eErrorCode: the result code of every resolver, task and service call.
// Callers test only e_success and e_pending; every other value is a failure
// that is logged and passed on unchanged. Log lines print it as a decimal.
#pragma once

#include <cstdint>

namespace OVProxy {

enum eErrorCode : int32_t {
  e_success = 0,
  e_pending = 1,
  e_failed = 2,
  e_cancelled = 3,
  e_resolver_not_initialized = 4,
  e_invalid_argument = 5,
  e_not_supported = 6,
  e_unavailable = 7,
  e_not_initialized = 8,
  e_config_unavailable = 200,
  e_resolver_timeout = 201,
  e_pac_unavailable = 202,
  e_resolve_failed = 203,
  e_pac_download_failed = 205,
  e_request_timeout = 206,
};

}  // namespace OVProxy
