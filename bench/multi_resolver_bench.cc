// Throughput of the multi proxy resolver: batches of requests issued on an
// origin runner, answered through the delegate, with 1 and with 8 executors.
//
//  - BM_MultiResolverPac: the real synchronous resolver on the PAC of the
//    engine benchmark (bench/data/corporate.pac, URLs from urls.txt).
//  - BM_MultiResolverInstant: a resolver that answers at once, so what is
//    left is the pool's own cost per request (two posts, the delegate call).
//  - BM_EngineAloneOneThread: the same PAC through the synchronous resolver
//    on the benchmark's thread, the floor for one request.
//
// The engine serialises evaluations process-wide, so more executors can
// only overlap the pool's own work with evaluations, not evaluations with
// each other.
// Run: build/<dir>/bench/multi_resolver_bench --benchmark_repetitions=3
//      --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaProxy/ov_multi_proxy_resolver.h"
#include "OrvaProxy/ov_winet_sync_proxy_resolver_factory.h"
#include "OrvaProxy/ov_wininet_sync_resolver.h"
#include "bench_data.h"
#include "orvatask/orva_task.h"

namespace {

using OVProxy::eErrorCode;
using OVProxy::ovProxyInfo;

constexpr int kBatch = 64;
constexpr char kOriginRunner[] = "bench_origin_runner";

struct Workload {
  std::shared_ptr<OVProxy::ovProxyConfig> config;
  std::vector<std::string> urls;
};

const Workload& Load() {
  static const Workload workload = [] {
    Workload w;
    w.config = std::make_shared<OVProxy::ovProxyConfig>(
        OVProxy::ovProxyConfig::CreateFromCustomPacURL("http://wpad/corporate.pac"));
    w.config->setPacContent(ovbench::ReadBenchData("corporate.pac"));
    w.urls = ovbench::BenchUrls();
    return w;
  }();
  return workload;
}

class InstantResolver : public OVProxy::ovProxyResolver {
 public:
  eErrorCode initialize() override { return OVProxy::e_success; }
  eErrorCode uninitialize() override { return OVProxy::e_success; }
  eErrorCode resolve(const std::string&, const std::string&, const std::string&,
                     std::shared_ptr<OVProxy::ovProxyConfig>, ovProxyInfo& result) override {
    result.UseDirect();
    return OVProxy::e_success;
  }
  std::string getName() override { return "InstantResolver"; }
  bool isAvailable() override { return true; }
};

class InstantFactory : public OVProxy::ovProxyResolverFactory {
 public:
  std::unique_ptr<OVProxy::ovProxyResolver> createResolver() override {
    return std::make_unique<InstantResolver>();
  }
};

// Counts answers; the benchmark thread waits for a whole batch.
class CountingDelegate : public OVProxy::ovProxyResolverDelegate {
 public:
  void onResolveComplete(const std::string&, std::shared_ptr<ovProxyInfo>, eErrorCode error,
                         uint32_t) override {
    std::lock_guard lock(mutex_);
    ++answered_;
    if (error != OVProxy::e_success) ++failed_;
    changed_.notify_all();
  }
  void WaitFor(long count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return answered_ >= count; });
  }
  long failed() {
    std::lock_guard lock(mutex_);
    return failed_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long answered_ = 0;
  long failed_ = 0;
};

void RunPool(benchmark::State& state, std::shared_ptr<OVProxy::ovProxyResolverFactory> factory) {
  const Workload& w = Load();
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (!manager || manager->CreateRunner(kOriginRunner, 0) == OrvaTask::kInvalidRunnerId) {
    state.SkipWithError("no task manager");
    return;
  }
  CountingDelegate delegate;
  auto resolver = std::make_unique<OVProxy::ovMultiProxyResolver>(
      std::move(factory), static_cast<std::size_t>(state.range(0)));
  resolver->setDelegate(&delegate);

  long issued = 0;
  std::size_t next_url = 0;
  auto issue_batch = [&] {
    auto task = OrvaTask::CreateOrvaTask({.name = "bench_batch"}, [&] {
      for (int i = 0; i < kBatch; ++i) {
        ovProxyInfo unused;
        resolver->resolve(std::to_string(issued + i), w.urls[next_url++ % w.urls.size()], "",
                          w.config, unused);
      }
    });
    manager->PostTask(kOriginRunner, task);
    manager->WaitForTask(task);
    issued += kBatch;
    delegate.WaitFor(issued);
  };
  issue_batch();  // executors and their resolvers come up here, untimed

  for (auto _ : state) issue_batch();
  if (delegate.failed() != 0) state.SkipWithError("some resolutions failed");

  auto teardown = OrvaTask::CreateOrvaTask({.name = "bench_teardown"}, [&] { resolver.reset(); });
  manager->PostTask(kOriginRunner, teardown);
  manager->WaitForTask(teardown);
  manager->RemoveRunner(kOriginRunner);
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["executors"] = static_cast<double>(state.range(0));
}

void BM_MultiResolverPac(benchmark::State& state) {
  RunPool(state, std::make_shared<OVProxy::ovWinetSyncProxyResolverFactory>());
}
BENCHMARK(BM_MultiResolverPac)->Arg(1)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_MultiResolverInstant(benchmark::State& state) {
  RunPool(state, std::make_shared<InstantFactory>());
}
BENCHMARK(BM_MultiResolverInstant)->Arg(1)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_EngineAloneOneThread(benchmark::State& state) {
  const Workload& w = Load();
  OVProxy::ovWininetSyncResolver resolver;
  resolver.initialize();
  std::size_t next_url = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      ovProxyInfo info;
      if (resolver.resolve("id", w.urls[next_url++ % w.urls.size()], "", w.config, info) !=
          OVProxy::e_success) {
        state.SkipWithError("evaluation failed");
        return;
      }
      benchmark::DoNotOptimize(info);
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_EngineAloneOneThread)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
