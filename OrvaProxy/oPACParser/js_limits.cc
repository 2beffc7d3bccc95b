#include "OrvaProxy/oPACParser/js_limits.h"

#include <atomic>

namespace OVProxy {
namespace {

std::atomic<int64_t> g_time_ms{kJsDefaultTimeLimitMs};
std::atomic<std::size_t> g_heap_bytes{kJsDefaultHeapLimitBytes};

}  // namespace

js_limits_t js_current_limits() {
  return js_limits_t{g_time_ms.load(), g_heap_bytes.load()};
}

js_limits_t js_set_limits(js_limits_t limits) {
  return js_limits_t{g_time_ms.exchange(limits.time_ms), g_heap_bytes.exchange(limits.heap_bytes)};
}

}  // namespace OVProxy
