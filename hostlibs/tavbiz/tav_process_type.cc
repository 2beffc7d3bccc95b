#include "tavbiz/tav_process_type.h"

#include <atomic>

namespace Tav {
namespace {

std::atomic<int32_t> g_process_type{kProcessTypeUnknown};

}  // namespace

int32_t GetProcessType() {
  return g_process_type.load(std::memory_order_relaxed);
}

void SetProcessType(int32_t type) {
  g_process_type.store(type, std::memory_order_relaxed);
}

}  // namespace Tav
