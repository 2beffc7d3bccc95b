// The data-sync bus between two real processes: how long a host-cache entry
// put in one process takes until another process's lookup finds it, and how
// many messages (and bytes) a burst of 1,000 or 10,000 distinct hosts
// becomes after coalescing, with the cache bounded to kHostCacheCapacity.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "bench_peer_bus.h"
#include "nsdal/dal_bus_directory.h"
#include "nsdal/ipc_helper.h"
#include "nsdal/unix_dal_bus.h"
#include "ovtest/child_process.h"
#include "ovtest/scoped_temp_dir.h"

namespace {

using namespace std::chrono_literals;

double ResidentMiB() {
  long pages = 0, resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<double>(resident) * 4096.0 / (1024.0 * 1024.0);
}

int64_t MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

using ovbench::CountingBus;

// This process on a bus of its own directory with its data-sync modes, and
// one peer process.
struct TwoProcesses {
  ~TwoProcesses() {
    peer.reset();
    mode.reset();
    override_bus.reset();
  }

  std::unique_ptr<ns_dal::ScopedDalBusOverride> override_bus;
  std::unique_ptr<OVProxy::ovProxyInfoModeImpl> mode;
  ovbench::PeerBus bus{[this](CountingBus& on) {
    override_bus = std::make_unique<ns_dal::ScopedDalBusOverride>(&on);
    mode = std::make_unique<OVProxy::ovProxyInfoModeImpl>();
  }};
  std::unique_ptr<CountingBus>& counting = bus.counting;
  std::unique_ptr<ovtest::ChildProcess>& peer = bus.peer;
  const bool& ready = bus.ready;
};

OVProxy::ovProxyInfo Answer(int32_t port) {
  OVProxy::ovProxyInfo info;
  info.UseProxyServer(OVProxy::ovProxyServer("proxy.corp", port, "HTTP"));
  info.AddProxyServer(OVProxy::ovProxyServer("backup.corp", port, "HTTP"));
  return info;
}

// Time from put here to the first successful lookup in the peer (both on
// CLOCK_MONOTONIC). Includes the coalescing window of host-cache sends.
void BM_PutToRemoteLookup(benchmark::State& state) {
  TwoProcesses processes;
  if (!processes.ready) {
    state.SkipWithError("no peer process");
    return;
  }
  auto cache = processes.mode->getHostCacheMode();
  int64_t n = 0;
  for (auto _ : state) {
    const std::string host = "h" + std::to_string(n++) + ".corp";
    if (processes.peer->Ask("armlookup " + host) != "armed") {
      state.SkipWithError("peer did not arm");
      return;
    }
    const int64_t put_at = MonotonicNs();
    cache->put(host, Answer(3128));
    const auto answer = processes.peer->ReadLine(10s).value_or("");
    const auto space = answer.rfind(' ');
    if (answer.rfind("ok ", 0) != 0 || space == std::string::npos) {
      state.SkipWithError("peer did not find the entry");
      return;
    }
    const int64_t found_at = std::stoll(answer.substr(space + 1));
    state.SetIterationTime(static_cast<double>(found_at - put_at) / 1e9);
  }
}
BENCHMARK(BM_PutToRemoteLookup)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);

// A burst of distinct hosts put at once: how many messages and bytes leave,
// and at what rate, until the peer has the last entry.
void BM_BurstOfPuts(benchmark::State& state) {
  TwoProcesses processes;
  if (!processes.ready) {
    state.SkipWithError("no peer process");
    return;
  }
  const int64_t hosts = state.range(0);
  auto cache = processes.mode->getHostCacheMode();
  int64_t round = 0;
  double messages = 0, bytes = 0, seconds = 0;
  for (auto _ : state) {
    const uint64_t messages_before = processes.counting->messages();
    const uint64_t bytes_before = processes.counting->bytes();
    const std::string prefix = "burst" + std::to_string(round) + "-";
    const std::string last = prefix + std::to_string(hosts - 1) + ".corp";
    const auto start = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < hosts; ++i) {
      cache->put(prefix + std::to_string(i) + ".corp", Answer(static_cast<int32_t>(i % 60000) + 1));
    }
    // The last coalesced send carries the last host: once the peer has it,
    // everything of the burst has left.
    if (processes.peer->Ask("waitlookup " + last).rfind("ok ", 0) != 0) {
      state.SkipWithError("peer did not get the burst");
      return;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    messages += static_cast<double>(processes.counting->messages() - messages_before);
    bytes += static_cast<double>(processes.counting->bytes() - bytes_before);
    ++round;
    cache->clear();
  }
  state.counters["messages_per_burst"] = benchmark::Counter(messages / static_cast<double>(round));
  state.counters["MB_per_burst"] = benchmark::Counter(bytes / 1e6 / static_cast<double>(round));
  state.counters["largest_message_MB"] =
      benchmark::Counter(static_cast<double>(processes.counting->largest()) / 1e6);
  state.counters["messages_per_second"] = benchmark::Counter(messages / seconds);
}
BENCHMARK(BM_BurstOfPuts)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(5);

// Resident memory of this process with an initialised data-sync mode, and
// with its host cache full. Run it on its own (--benchmark_filter=Memory):
// memory freed by the other benchmarks would hide what the cache takes.
void BM_MemoryWithTheCacheFull(benchmark::State& state) {
  for (auto _ : state) {
    TwoProcesses processes;
    const double initialised = ResidentMiB();
    auto cache = processes.mode->getHostCacheMode();
    for (size_t i = 0; i < OVProxy::kHostCacheCapacity; ++i) {
      cache->put("https://host" + std::to_string(i) + ".example", Answer(3128));
    }
    state.counters["rss_initialised_MiB"] = initialised;
    state.counters["rss_cache_full_MiB"] = ResidentMiB();
  }
}
BENCHMARK(BM_MemoryWithTheCacheFull)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
