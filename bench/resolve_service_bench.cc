// The resolve service behind the provider, as hosts use it.
//
// - CacheHit: resolveProxySync for a cached host, from 1 and 2 threads:
//   answers per second (items_per_second) and the p99 latency in
//   microseconds.
// - Load/0 and Load/1: 10,000 asynchronous requests at once over 300 hosts
//   against a PAC served from 127.0.0.1, with random time-outs (some already
//   past when they are made), one in ten cancelled, and a script that stalls
//   for some hosts, off the bus and on a real bus with one peer process.
//   Every request must be answered exactly once; reported: answers per
//   second, p50/p99 latency in ms, and resident memory before and after.
// - Burst/0 and Burst/1: 10,000 distinct hosts at once against a local PAC
//   answering two proxies, off the bus (a bus without peers) and on a real
//   bus (a bus directory of its own with one peer process): answers per
//   second, p50/p99 latency in ms, and on the bus the host-cache messages and
//   bytes this process published.
// - Memory: resident size of an initialised module, and with the host cache
//   full (10,000 hosts put; the cache keeps kHostCacheCapacity).
//
// The module runs off the user's data-sync bus. Run Memory on its own
// (--benchmark_filter=Memory) for the module's own figures.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "OrvaProxy/ov_proxy_host_cache_mode.h"
#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "OrvaProxy/ov_proxy_resolve_service.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider.h"
#include "bench_data.h"
#include "bench_pac_server.h"
#include "bench_peer_bus.h"
#include "nsdal/dal_bus.h"
#include "nsdal/dal_bus_directory.h"
#include "nsdal/ipc_helper.h"
#include "nsdal/peerless_dal_bus.h"
#include "nsdal/unix_dal_bus.h"
#include "onetxfer/onet_module.h"
#include "ovtest/child_process.h"
#include "ovtest/fake_config_manager.h"
#include "ovtest/scoped_temp_dir.h"
#include "tavlib/tav_no_destructor.h"

namespace {

using namespace OVProxy;
using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

// One module for the whole program: the provider, its manager and the bus.
struct Module {
  // No peers unless a bus is given: the benchmark's made-up configuration
  // stays in this process.
  ns_dal::PeerlessDalBus bus;
  ns_dal::ScopedDalBusOverride bus_override;
  oXfer::ScopedONetModule transfer;
  ovtest::FakeConfigManager manager;
  ovProxyResolveServiceProvider provider;

  explicit Module(const ovProxyConfig& config, ns_dal::IDALBus* on = nullptr)
      : bus_override(on ? on : &bus) {
    manager.Set(config, CONFIG_VALID);
    provider.initializeWithManager(nullptr, &manager);
  }
  ~Module() { provider.uninitialize(); }
};

ovProxyConfig ManualConfig() {
  ovProxyConfig config;
  config.proxy_rules().ParseFromString("proxy.example:3128");
  return config;
}

void CacheHit(benchmark::State& state) {
  // Lives to the end of the program: the provider's runner outlasts every
  // run of the benchmark.
  static Tav::NoDestructor<Module> module(ManualConfig());
  static const bool primed = [] {
    ovProxyInfo info;
    return module->provider.resolveProxySync("https://cached.example/", "", info, 5000) ==
           e_success;
  }();
  if (!primed) state.SkipWithError("the first answer did not come");
  std::vector<double> us;
  us.reserve(1 << 20);
  ovProxyInfo info;
  for (auto _ : state) {
    const auto start = Clock::now();
    const eErrorCode code =
        module->provider.resolveProxySync("https://cached.example/x", "", info, 1000);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (code != e_success) state.SkipWithError("not answered from the cache");
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["p50_us"] = Percentile(us, 0.50);
  state.counters["p99_us"] = Percentile(us, 0.99);
}
BENCHMARK(CacheHit)->Threads(1)->Threads(2)->UseRealTime();

constexpr char kPac[] =
    "function FindProxyForURL(url, host) {\n"
    "  if (shExpMatch(host, 'stall*')) { var t = 0; for (var i = 0; i < 300000; i++) t += i; }\n"
    "  if (dnsDomainIs(host, '.direct.example')) return 'DIRECT';\n"
    "  return 'PROXY p1.example:8080; PROXY p2.example:8080';\n"
    "}\n";

void Load(benchmark::State& state) {
  const bool on_bus = state.range(0) != 0;
  std::unique_ptr<ovbench::PeerBus> real;
  if (on_bus) {
    real = std::make_unique<ovbench::PeerBus>();
    if (!real->ready) {
      state.SkipWithError("no peer process");
      return;
    }
  }
  const ovbench::PacServer server(kPac);
  const int port = server.port();

  ovProxyConfig config;
  config.setPacUrl("http://127.0.0.1:" + std::to_string(port) + "/proxy.pac");
  const double before_mib = ovbench::ResidentMiB();
  double after_first_mib = 0;
  constexpr int kRequests = 10000;
  for (auto _ : state) {
    Module module(config, on_bus ? real->counting.get() : nullptr);
    std::mt19937 random(7);
    std::mutex mutex;
    std::condition_variable done;
    std::map<std::string, int> answers;
    std::vector<double> ms;
    int open = 0;
    std::vector<std::string> ids(kRequests);
    std::vector<Clock::time_point> starts(kRequests);
    const auto begin = Clock::now();
    for (int i = 0; i < kRequests; ++i) {
      const int host = static_cast<int>(random() % 300);
      const std::string name = host % 10 == 0   ? "stall" + std::to_string(host) + ".example"
                               : host % 10 == 1 ? "h" + std::to_string(host) + ".direct.example"
                                                : "h" + std::to_string(host) + ".example";
      // Some time-outs are as good as past when made (1 ms), some none.
      const int timeouts[] = {0, 1, 500, 2000, 5000};
      const int timeout = timeouts[random() % 5];
      {
        std::lock_guard lock(mutex);
        ++open;
      }
      starts[i] = Clock::now();
      const bool accepted = module.provider.resolveProxy(
          "https://" + name + "/page" + std::to_string(i), "",
          [&, i](const std::string& id, const ovProxyInfo&, eErrorCode) {
            std::lock_guard lock(mutex);
            ++answers[id];
            ms.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - starts[i]).count());
            if (--open == 0) done.notify_all();
          },
          ids[i], timeout);
      if (!accepted) {
        std::lock_guard lock(mutex);
        --open;
      }
      if (i % 10 == 9) module.provider.cancelResolve(ids[i]);
    }
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return open == 0; });
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    int twice = 0;
    for (const auto& [id, count] : answers) twice += count != 1;
    if (static_cast<int>(answers.size()) != kRequests || twice != 0) {
      state.SkipWithError("a request was lost or answered twice");
    }
    state.counters["answers_per_s"] = kRequests / seconds;
    state.counters["p50_ms"] = Percentile(ms, 0.50);
    state.counters["p99_ms"] = Percentile(ms, 0.99);
    lock.unlock();
    if (after_first_mib == 0) after_first_mib = ovbench::ResidentMiB();
  }
  // Runs after the first must not grow the process.
  state.counters["rss_before_MiB"] = before_mib;
  state.counters["rss_after_first_MiB"] = after_first_mib;
  state.counters["rss_after_last_MiB"] = ovbench::ResidentMiB();
}
BENCHMARK(Load)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

using RealBus = ovbench::PeerBus;

constexpr char kTwoProxyPac[] =
    "function FindProxyForURL(url, host) { return 'PROXY p1.example:8080; PROXY p2.example:8080'; "
    "}\n";

void Burst(benchmark::State& state) {
  const bool on_bus = state.range(0) != 0;
  const ovbench::PacServer server(kTwoProxyPac);
  const int port = server.port();
  std::unique_ptr<RealBus> real;
  if (on_bus) {
    real = std::make_unique<RealBus>();
    if (!real->ready) state.SkipWithError("no peer process");
  }
  ovProxyConfig config;
  config.setPacUrl("http://127.0.0.1:" + std::to_string(port) + "/proxy.pac");
  constexpr int kHosts = 10000;
  int round = 0;
  double messages = 0, bytes = 0;
  if (on_bus && !real->ready) return;
  // One module for all rounds (each round asks for hosts of its own).
  Module module(config, on_bus ? real->counting.get() : nullptr);
  // The first answer downloads the script: the bursts measure answers.
  ovProxyInfo first;
  if (module.provider.resolveProxySync("http://warm.example/", "", first, 5000) != e_success) {
    state.SkipWithError("the first answer did not come");
  }
  for (auto _ : state) {
    const uint64_t messages_before = on_bus ? real->counting->messages() : 0;
    const uint64_t bytes_before = on_bus ? real->counting->bytes() : 0;
    std::mutex mutex;
    std::condition_variable done;
    std::vector<double> ms;
    ms.reserve(kHosts);
    int open = kHosts;
    int failed = 0;
    int last_answered = -1;
    std::vector<Clock::time_point> starts(kHosts);
    const auto begin = Clock::now();
    for (int i = 0; i < kHosts; ++i) {
      std::string id;
      starts[i] = Clock::now();
      const bool accepted = module.provider.resolveProxy(
          "https://r" + std::to_string(round) + "h" + std::to_string(i) + ".example/", "",
          [&, i](const std::string&, const ovProxyInfo&, eErrorCode code) {
            std::lock_guard lock(mutex);
            failed += code != e_success;
            last_answered = i;
            ms.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - starts[i]).count());
            if (--open == 0) done.notify_all();
          },
          id, 0);
      if (!accepted) {
        std::lock_guard lock(mutex);
        ++failed;
        if (--open == 0) done.notify_all();
      }
    }
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return open == 0; });
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    state.counters["answers_per_s"] = kHosts / seconds;
    state.counters["p50_ms"] = Percentile(ms, 0.50);
    state.counters["p99_ms"] = Percentile(ms, 0.99);
    lock.unlock();
    if (failed != 0) state.SkipWithError("a request was refused or failed");
    if (on_bus && last_answered >= 0) {
      // Counted once the peer holds the last host: the last send is out.
      // Answers leave in no fixed order: the last one answered is the most
      // recently used host.
      const std::string last = ovProxyResolveServiceImpl::hostKey(
          "https://r" + std::to_string(round) + "h" + std::to_string(last_answered) + ".example/");
      if (real->peer->Ask("waitlookup " + last).rfind("ok ", 0) != 0) {
        state.SkipWithError("the peer did not get the last host");
      }
      messages += static_cast<double>(real->counting->messages() - messages_before);
      bytes += static_cast<double>(real->counting->bytes() - bytes_before);
    }
    ++round;
  }
  if (on_bus && round > 0) {
    state.counters["bus_messages"] = messages / round;
    state.counters["bus_MB"] = bytes / round / 1e6;
  }
}
BENCHMARK(Burst)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void Memory(benchmark::State& state) {
  for (auto _ : state) {
    const double empty = ovbench::ResidentMiB();
    Module module(ManualConfig());
    const double initialised = ovbench::ResidentMiB();
    auto cache = ovProxyInfoModeImpl::GetInstance()->getHostCacheMode();
    ovProxyInfo info;
    info.UseNamedProxy("proxy.example:3128");
    for (int i = 0; i < 10000; ++i) cache->put("host" + std::to_string(i) + ".example", info);
    state.counters["rss_process_MiB"] = empty;
    state.counters["rss_initialised_MiB"] = initialised;
    state.counters["rss_cache_full_MiB"] = ovbench::ResidentMiB();
    cache->clear();
  }
}
BENCHMARK(Memory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
