// Cost of one PAC evaluation: our engine (a fresh script state for every
// evaluation) beside pacparser from libpacparser-dev on the same PAC and
// URLs, once with init, parse and cleanup for every call and once parsing
// once and calling many times.
//
// - BM_OrvaPacEvaluate: throughput, one thread, every evaluation building its
//   environment (built-ins, prelude) on the caller's path.
// - BM_OrvaPacEvaluatePrepared: latency of one evaluation whose environment
//   was prepared beforehand (js_engine_prepare, outside the timing).
// - BM_OrvaPacMemory: 100,000 evaluations; counters: the largest heap one
//   evaluation needed (bytes) and the resident memory of the process after
//   10,000 and after 100,000 evaluations (KiB).
//
// Data: bench/data/corporate.pac (about 7 kB, ~40 shExpMatch calls, isInNet
// on IP literals only, a scheme switch) and bench/data/urls.txt.
// Run: build/<dir>/bench/pac_eval_bench --benchmark_repetitions=5
//      --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_runner.h"
#include "OrvaProxy/ov_wininet_sync_resolver.h"
#include "bench_data.h"

#if defined(OV_HAVE_PACPARSER)
#include <pacparser.h>
#endif

namespace {

struct Workload {
  std::string pac;
  std::vector<std::pair<std::string, std::string>> requests;  // url, host
};

const Workload& Load() {
  static const Workload workload = [] {
    Workload w;
    w.pac = ovbench::ReadBenchData("corporate.pac");
    for (const std::string& url : ovbench::BenchUrls()) {
      w.requests.emplace_back(url, OVProxy::host_from_url(url));
    }
    return w;
  }();
  return workload;
}

void BM_OrvaPacEvaluate(benchmark::State& state) {
  const Workload& w = Load();
  std::size_t i = 0;
  std::string result;
  for (auto _ : state) {
    const auto& [url, host] = w.requests[i++ % w.requests.size()];
    if (OVProxy::js_runner_t(w.pac).run(url, host, result) != 0) {
      state.SkipWithError("evaluation failed");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OrvaPacEvaluate);

void BM_OrvaPacEvaluatePrepared(benchmark::State& state) {
  const Workload& w = Load();
  std::size_t i = 0;
  std::string result;
  for (auto _ : state) {
    state.PauseTiming();
    OVProxy::js_engine_prepare();
    state.ResumeTiming();
    const auto& [url, host] = w.requests[i++ % w.requests.size()];
    if (OVProxy::js_runner_t(w.pac).run(url, host, result) != 0) {
      state.SkipWithError("evaluation failed");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OrvaPacEvaluatePrepared);

double ResidentKiB() {
  return ovbench::ResidentMiB() * 1024.0;
}

void BM_OrvaPacMemory(benchmark::State& state) {
  const Workload& w = Load();
  std::string result;
  for (auto _ : state) {
    OVProxy::js_engine_reset_peak();
    for (int i = 0; i < 100'000; ++i) {
      const auto& [url, host] = w.requests[i % w.requests.size()];
      OVProxy::js_runner_t(w.pac).run(url, host, result);
      if (i + 1 == 10'000) state.counters["rss_10k_kib"] = ResidentKiB();
    }
    state.counters["rss_100k_kib"] = ResidentKiB();
    state.counters["peak_eval_heap_bytes"] =
        static_cast<double>(OVProxy::js_engine_stats().peak_evaluation_bytes);
  }
}
BENCHMARK(BM_OrvaPacMemory)->Iterations(1)->Unit(benchmark::kSecond);

#if defined(OV_HAVE_PACPARSER)

int Silent(const char*, va_list) {
  return 0;
}

void BM_PacparserInitParseFindCleanup(benchmark::State& state) {
  const Workload& w = Load();
  pacparser_set_error_printer(Silent);
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [url, host] = w.requests[i++ % w.requests.size()];
    if (!pacparser_init() || !pacparser_parse_pac_string(w.pac.c_str())) {
      state.SkipWithError("pacparser could not load the PAC");
      break;
    }
    const char* answer = pacparser_find_proxy(url.c_str(), host.c_str());
    benchmark::DoNotOptimize(answer);
    pacparser_cleanup();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PacparserInitParseFindCleanup);

void BM_PacparserParsedOnce(benchmark::State& state) {
  const Workload& w = Load();
  pacparser_set_error_printer(Silent);
  if (!pacparser_init() || !pacparser_parse_pac_string(w.pac.c_str())) {
    state.SkipWithError("pacparser could not load the PAC");
    return;
  }
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [url, host] = w.requests[i++ % w.requests.size()];
    const char* answer = pacparser_find_proxy(url.c_str(), host.c_str());
    benchmark::DoNotOptimize(answer);
  }
  pacparser_cleanup();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PacparserParsedOnce);

#endif  // OV_HAVE_PACPARSER

}  // namespace
