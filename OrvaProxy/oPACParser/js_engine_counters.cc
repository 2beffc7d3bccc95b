#include "OrvaProxy/oPACParser/js_engine_counters.h"

#include "OrvaProxy/oPACParser/js_engine.h"

namespace OVProxy {
namespace {

std::atomic<int64_t> g_live_heaps{0};
std::atomic<int64_t> g_live_bytes{0};
std::atomic<int64_t> g_evaluations{0};
std::atomic<int64_t> g_running{0};
std::atomic<int64_t> g_peak_running{0};
std::atomic<int64_t> g_heap_builds{0};
std::atomic<int64_t> g_cached_scripts{0};
std::atomic<int64_t> g_peak_evaluation_bytes{0};

}  // namespace

namespace js_engine_counters {

void heap_built() {
  g_live_heaps.fetch_add(1);
  g_heap_builds.fetch_add(1, std::memory_order_relaxed);
}

void heap_destroyed() {
  g_live_heaps.fetch_sub(1);
}

void set_live_bytes(int64_t bytes) {
  g_live_bytes.store(bytes);
}

void set_cached_scripts(int64_t count) {
  g_cached_scripts.store(count);
}

void note_evaluation_bytes(int64_t bytes) {
  raise_to(g_peak_evaluation_bytes, bytes);
}

running_evaluation::running_evaluation() {
  g_evaluations.fetch_add(1, std::memory_order_relaxed);
  raise_to(g_peak_running, g_running.fetch_add(1) + 1);
}

running_evaluation::~running_evaluation() {
  g_running.fetch_sub(1);
}

}  // namespace js_engine_counters

js_engine_stats_t js_engine_stats() {
  js_engine_stats_t stats;
  stats.live_heaps = g_live_heaps.load();
  stats.live_bytes = g_live_bytes.load();
  stats.evaluations = g_evaluations.load();
  stats.peak_running = g_peak_running.load();
  stats.heap_builds = g_heap_builds.load();
  stats.cached_scripts = g_cached_scripts.load();
  stats.peak_evaluation_bytes = g_peak_evaluation_bytes.load();
  return stats;
}

void js_engine_reset_peak() {
  g_peak_running.store(g_running.load());
  g_peak_evaluation_bytes.store(0);
}

}  // namespace OVProxy
