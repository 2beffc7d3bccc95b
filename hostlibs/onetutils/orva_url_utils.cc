#include "onetutils/orva_url_utils.h"

#include <atomic>

namespace ONet {
namespace {

std::atomic<bool> g_overridden{false};
std::atomic<IOrvaUrlUtils*> g_override{nullptr};

}  // namespace

IOrvaUrlUtils* GetOrvaUrlUtils() {
  if (g_overridden.load(std::memory_order_acquire)) return g_override.load();
  return &SystemOrvaUrlUtils();
}

void OverrideOrvaUrlUtilsForTesting(std::optional<IOrvaUrlUtils*> utils) {
  g_override.store(utils.value_or(nullptr));
  g_overridden.store(utils.has_value(), std::memory_order_release);
}

}  // namespace ONet
