// What the task library costs the module: how many posts one runner takes
// per second, the latency of a post-and-wait round trip, and a resolve
// task's delivery round trip (invokeCallback posted to the resolve runner,
// callback run there, the caller woken).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "OrvaProxy/ov_proxy_resolve_task.h"
#include "orvatask/orva_task.h"
#include "orvatask/ovt_task_manager.h"

namespace {

OrvaTask::TaskPtr Noop() {
  return OrvaTask::CreateOrvaTask({.name = "bench"}, [] {});
}

// Posts batches of 1000 tasks to one runner and waits for the last of each
// batch: the throughput of a single queue with one thread serving it.
void BM_PostsToOneRunner(benchmark::State& state) {
  OrvaTask::OVTManager manager;
  const OrvaTask::RunnerId runner = manager.CreateRunner("bench", 0);
  constexpr int kBatch = 1000;
  for (auto _ : state) {
    OrvaTask::TaskPtr last;
    for (int i = 0; i < kBatch; ++i) {
      last = Noop();
      manager.PostTask(runner, last);
    }
    manager.WaitForTask(last);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PostsToOneRunner)->UseRealTime();

// One task at a time: create, post, wait until it ran.
void BM_PostAndWait(benchmark::State& state) {
  OrvaTask::OVTManager manager;
  const OrvaTask::RunnerId runner = manager.CreateRunner("bench", 0);
  for (auto _ : state) {
    auto task = Noop();
    manager.PostTask(runner, task);
    manager.WaitForTask(task);
  }
}
BENCHMARK(BM_PostAndWait)->UseRealTime();

// A resolve task on the resolve runner delivers a two-proxy answer through
// the posted "ovProxyResolveTask_invokeCallback"; the benchmark thread waits
// until the callback ran.
void BM_DeliverRoundTrip(benchmark::State& state) {
  OrvaTask::OVTManager manager;
  OrvaTask::ScopedOVTManagerOverride installed(&manager);
  manager.CreateRunner("proxy_resolve_runner_name", 62);
  std::mutex mutex;
  std::condition_variable delivered;
  int count = 0;
  OVProxy::ovProxyInfo answer;
  answer.UseNamedProxy("PROXY a:80; PROXY b:80");
  auto result = std::make_shared<OVProxy::ovProxyInfo>(answer);
  int next_id = 0;
  for (auto _ : state) {
    const int wanted = count + 1;
    auto resolve_task = std::make_shared<OVProxy::ovProxyResolveTask>(
        "bench-" + std::to_string(++next_id), "https://x/", "",
        [&](const std::string&, const OVProxy::ovProxyInfo&, OVProxy::eErrorCode) {
          std::lock_guard lock(mutex);
          ++count;
          delivered.notify_one();
        },
        nullptr, 0);
    auto start = OrvaTask::CreateOrvaTask({.name = "bench_start"}, [resolve_task, result] {
      resolve_task->setResult(result, OVProxy::e_success);
      resolve_task->invokeCallback();
    });
    manager.PostTask("proxy_resolve_runner_name", start);
    std::unique_lock lock(mutex);
    delivered.wait(lock, [&] { return count >= wanted; });
  }
}
BENCHMARK(BM_DeliverRoundTrip)->UseRealTime();

}  // namespace
