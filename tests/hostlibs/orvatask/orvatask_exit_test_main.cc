// A Windows process whose exit ends a runner thread while that thread holds
// its runner's lock. The system ends such a thread where it stands; the task
// library's teardown at exit would then wait for the lock forever and the
// process would never end. The test passes when the process exits at all
// (CTest's time-out fails it otherwise).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "orvatask/orva_task.h"
#include "tavlib/tav_clock.h"
#include "tavlib/tav_no_destructor.h"

namespace {

// Reads from threads other than main stop for good once armed: a runner
// reads the clock under its lock whenever it has delayed work.
class ClockThatHoldsRunners : public Tav::IClock {
 public:
  int64_t SystemNow100ns() override { return Read(); }
  int64_t MonotonicNowUs() override { return Read(); }

  void Arm() { armed_ = true; }
  std::future<void> Held() { return held_.get_future(); }

 private:
  int64_t Read() {
    if (armed_ && std::this_thread::get_id() != main_) {
      if (!signalled_.exchange(true)) held_.set_value();
      never_.wait();
    }
    return 0;
  }

  const std::thread::id main_ = std::this_thread::get_id();
  std::atomic<bool> armed_{false};
  std::atomic<bool> signalled_{false};
  std::promise<void> held_;
  std::promise<void> kept_unfulfilled_;
  std::shared_future<void> never_ = kept_unfulfilled_.get_future().share();
};

OrvaTask::TaskPtr Nothing() {
  OrvaTask::TaskAttribute attribute;
  attribute.name = "exit_test";
  return OrvaTask::CreateOrvaTask(std::move(attribute), [] {});
}

}  // namespace

int main() {
  // Never destroyed: the runner stays inside it until the process is gone.
  static Tav::NoDestructor<ClockThatHoldsRunners> clock;
  Tav::SetClockForTesting(clock.get());
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  const OrvaTask::RunnerId runner = manager->CreateRunner("exit_test_runner", 0);
  if (runner == OrvaTask::kInvalidRunnerId ||
      !manager->PostDelayedTask(runner, Nothing(), std::chrono::hours(1))) {
    std::fputs("could not start the runner\n", stderr);
    return 1;
  }
  std::future<void> held = clock->Held();
  clock->Arm();
  manager->PostTask(runner, Nothing());
  held.wait();
  return 0;
}
