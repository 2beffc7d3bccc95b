#include "tavlib/tav_clock.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace Tav {
namespace {

// Readers take the shared lock only while a test clock is installed, so
// production pays one atomic load per reading. Uninstalling takes the lock
// exclusively and thereby waits for readers still inside the old clock.
std::atomic<IClock*> g_test_clock{nullptr};

std::shared_mutex& ClockMutex() {
  static std::shared_mutex mutex;
  return mutex;
}

struct ListenerRegistry {
  std::mutex mutex;
  ClockListenerId next_id = 1;
  std::map<ClockListenerId, std::function<void()>> listeners;
};

// Constructs the clock lock first, so that whoever registers a listener (the
// task manager, whose threads read the clock) is destroyed before both.
ListenerRegistry& Listeners() {
  ClockMutex();
  static ListenerRegistry registry;
  return registry;
}

template <typename Reading>
bool ReadTestClock(Reading reading, int64_t& out) {
  if (g_test_clock.load(std::memory_order_acquire) == nullptr) return false;
  std::shared_lock lock(ClockMutex());
  IClock* clock = g_test_clock.load(std::memory_order_acquire);
  if (clock == nullptr) return false;
  out = reading(*clock);
  return true;
}

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

IClock* SetClockForTesting(IClock* clock) {
  IClock* previous = nullptr;
  {
    std::unique_lock lock(ClockMutex());
    previous = g_test_clock.exchange(clock, std::memory_order_acq_rel);
  }
  NotifyClockChanged();
  return previous;
}

int64_t SystemTimeNow100ns() {
  int64_t value = 0;
  if (ReadTestClock([](IClock& clock) { return clock.SystemNow100ns(); }, value)) return value;
  using Ticks100ns = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
  return std::chrono::duration_cast<Ticks100ns>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t TimeTicks::Now() {
  int64_t value = 0;
  if (ReadTestClock([](IClock& clock) { return clock.MonotonicNowUs(); }, value)) return value;
  return SteadyNowNs() / 1000;
}

int64_t TimeTicks::NowNs() {
  int64_t value = 0;
  if (ReadTestClock([](IClock& clock) { return clock.MonotonicNowNs(); }, value)) return value;
  return SteadyNowNs();
}

ClockListenerId AddClockListener(std::function<void()> listener) {
  ListenerRegistry& registry = Listeners();
  std::lock_guard lock(registry.mutex);
  const ClockListenerId id = registry.next_id++;
  registry.listeners.emplace(id, std::move(listener));
  return id;
}

void RemoveClockListener(ClockListenerId id) {
  ListenerRegistry& registry = Listeners();
  std::lock_guard lock(registry.mutex);
  registry.listeners.erase(id);
}

void NotifyClockChanged() {
  ListenerRegistry& registry = Listeners();
  // Held while calling, so that RemoveClockListener cannot return while its
  // listener still runs.
  std::lock_guard lock(registry.mutex);
  for (auto& [id, listener] : registry.listeners) listener();
}

}  // namespace Tav
