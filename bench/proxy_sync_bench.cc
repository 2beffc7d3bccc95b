// The data-sync bus between two real processes: how long a host-cache entry
// put in one process takes until another process's lookup finds it, and how
// many messages a burst of 1,000 puts becomes after coalescing.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "nsdal/dal_bus_directory.h"
#include "nsdal/ipc_helper.h"
#include "nsdal/unix_dal_bus.h"
#include "ovtest/child_process.h"
#include "ovtest/scoped_temp_dir.h"

namespace {

using namespace std::chrono_literals;

int64_t MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// This process on a bus of its own directory, and one peer process.
struct TwoProcesses {
  TwoProcesses() {
    std::string error;
    auto directory = ns_dal::EnsureBusDirectory(runtime.path(), ::geteuid(), "/tmp", &error);
    ns_dal::UnixDalBusOptions options;
    options.directory = directory.value_or("");
    options.uid = ::geteuid();
    bus = ns_dal::UnixDalBus::Create(options, &error);
    if (!bus) return;
    override_bus = std::make_unique<ns_dal::ScopedDalBusOverride>(bus.get());
    mode = std::make_unique<OVProxy::ovProxyInfoModeImpl>();
    peer = std::make_unique<ovtest::ChildProcess>(
        OV_SYNC_PEER_PATH, std::vector<std::string>{},
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime.path()});
    ready = peer->Ask("join").rfind("join", 0) == 0;
  }
  ~TwoProcesses() {
    peer.reset();
    mode.reset();
    override_bus.reset();
  }

  ovtest::ScopedTempDir runtime{"ovbench"};
  std::unique_ptr<ns_dal::UnixDalBus> bus;
  std::unique_ptr<ns_dal::ScopedDalBusOverride> override_bus;
  std::unique_ptr<OVProxy::ovProxyInfoModeImpl> mode;
  std::unique_ptr<ovtest::ChildProcess> peer;
  bool ready = false;
};

OVProxy::ovProxyInfo Answer(int32_t port) {
  OVProxy::ovProxyInfo info;
  info.UseProxyServer(OVProxy::ovProxyServer("proxy.corp", port, "HTTP"));
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

// A burst of 1,000 puts: how many messages leave, and at what rate, until
// the peer has the last entry.
void BM_BurstOf1000Puts(benchmark::State& state) {
  TwoProcesses processes;
  if (!processes.ready) {
    state.SkipWithError("no peer process");
    return;
  }
  auto cache = processes.mode->getHostCacheMode();
  int64_t round = 0;
  uint64_t messages = 0;
  double seconds = 0;
  for (auto _ : state) {
    const uint64_t sent_before = processes.bus->stats().frames_sent;
    const std::string last = "burst" + std::to_string(round) + "-999.corp";
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
      cache->put("burst" + std::to_string(round) + "-" + std::to_string(i) + ".corp",
                 Answer(i + 1));
    }
    if (processes.peer->Ask("waitlookup " + last).rfind("ok ", 0) != 0) {
      state.SkipWithError("peer did not get the burst");
      return;
    }
    // The last coalesced send may still be on its way out of this process.
    processes.bus->WaitForStats([&](const auto& s) { return s.frames_sent > sent_before; }, 10s);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    messages += processes.bus->stats().frames_sent - sent_before;
    ++round;
    cache->clear();
  }
  state.counters["messages_per_burst"] =
      benchmark::Counter(static_cast<double>(messages) / static_cast<double>(round));
  state.counters["messages_per_second"] =
      benchmark::Counter(static_cast<double>(messages) / seconds);
}
BENCHMARK(BM_BurstOf1000Puts)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
