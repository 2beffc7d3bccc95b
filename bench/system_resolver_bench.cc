// One resolution through the system-shaped proxy resolution service on this
// platform (its own threads, libcurl, the module's PAC engine) against a
// local server serving bench/data/corporate.pac: first, with a fresh service
// that must download the script, and repeated, with the script kept; and a
// script asking DNS on the service's DNS-aware engine beside the in-process one.
// Run: build/default/bench/system_resolver_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "OrvaProxy/oPACParser/js_runner.h"
#include "OrvaProxy/ov_system_proxy_service.h"
#include "OrvaProxy/ov_wininet_sync_resolver.h"
#include "bench_data.h"
#include "bench_pac_server.h"

namespace {

using namespace ovplatform;

struct Waiter {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  uint32_t code = 0;
};

void OnStatus(WinHttpHandle, uintptr_t context, uint32_t, const void* info, uint32_t length) {
  auto* waiter = reinterpret_cast<Waiter*>(context);
  std::lock_guard lock(waiter->mutex);
  if (length == sizeof(uint32_t)) std::memcpy(&waiter->code, info, sizeof(uint32_t));
  waiter->finished = true;
  waiter->done.notify_all();
}

std::shared_ptr<WinHttpApi> NewService() {
  return CreateLinuxWinHttp(LinuxWinHttpOptions{.evaluator = OVProxy::evaluatePacForSystemService});
}

bool ResolveOnce(WinHttpApi& api, WinHttpHandle session, const std::string& pac_url) {
  WinHttpHandle resolver = kNullHandle;
  if (api.CreateProxyResolver(session, &resolver) != kErrorSuccess) return false;
  Waiter waiter;
  const AutoProxyOptions options{.flags = kAutoProxyConfigUrl, .auto_config_url = pac_url};
  if (api.GetProxyForUrlEx(resolver, "https://www.example.com/index.html", options,
                           reinterpret_cast<uintptr_t>(&waiter)) != kErrorIoPending) {
    return false;
  }
  std::unique_lock lock(waiter.mutex);
  waiter.done.wait(lock, [&] { return waiter.finished; });
  ProxyResult result;
  const bool ok = waiter.code == kErrorSuccess && api.GetProxyResult(resolver, &result) == 0;
  api.CloseHandle(resolver);
  return ok;
}

WinHttpHandle OpenSession(WinHttpApi& api) {
  const WinHttpHandle session = api.Open(true);
  api.SetStatusCallback(session, OnStatus,
                        kCallbackFlagGetProxyForUrlComplete | kCallbackFlagRequestError);
  return session;
}

void BM_FirstResolution(benchmark::State& state) {
  const ovbench::PacServer server(ovbench::ReadBenchData("corporate.pac"), "/corporate.pac");
  for (auto _ : state) {
    state.PauseTiming();
    std::shared_ptr<WinHttpApi> api = NewService();
    const WinHttpHandle session = OpenSession(*api);
    state.ResumeTiming();
    if (!ResolveOnce(*api, session, server.Url())) state.SkipWithError("resolution failed");
    state.PauseTiming();
    api.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FirstResolution)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RepeatedResolution(benchmark::State& state) {
  const ovbench::PacServer server(ovbench::ReadBenchData("corporate.pac"), "/corporate.pac");
  std::shared_ptr<WinHttpApi> api = NewService();
  const WinHttpHandle session = OpenSession(*api);
  if (!ResolveOnce(*api, session, server.Url())) state.SkipWithError("resolution failed");
  for (auto _ : state) {
    if (!ResolveOnce(*api, session, server.Url())) state.SkipWithError("resolution failed");
  }
}
BENCHMARK(BM_RepeatedResolution)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

namespace {

// The evaluation alone, for comparison with the two above.
void BM_EvaluationOnly(benchmark::State& state) {
  const std::string pac = ovbench::ReadBenchData("corporate.pac");
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        OVProxy::evaluatePacForSystemService(pac, "https://www.example.com/index.html"));
  }
}
BENCHMARK(BM_EvaluationOnly)->Unit(benchmark::kMillisecond);

// A script that asks DNS for the request's host and the machine's own
// address, on the service's DNS-aware engine with its lookups answered at
// once from memory (kept as in the service, and not kept: every lookup on
// the bounded resolver's helper thread), beside the in-process engine, which
// answers the same script without asking.
constexpr char kDnsScript[] =
    "function FindProxyForURL(url, host) {\n"
    "  if (isPlainHostName(host) || isInNet(dnsResolve(host), '10.0.0.0', '255.0.0.0'))\n"
    "    return 'DIRECT';\n"
    "  if (isInNet(myIpAddress(), '192.168.0.0', '255.255.0.0')) return 'PROXY home:3128';\n"
    "  return 'PROXY corp:8080';\n"
    "}\n";

class InstantResolver final : public HostResolver {
 public:
  std::vector<std::string> ResolveHost(const std::string& host) override {
    return {host[0] == 'i' ? "10.1.2.3" : "192.0.2.7"};
  }
};

std::string DnsUrl(std::size_t i) {
  return std::string("http://") + (i % 2 == 0 ? "intra" : "www") + std::to_string(i % 20) +
         ".example/";
}

void BM_DnsScriptSystemService(benchmark::State& state) {
  ScriptDns dns({.resolver = MakeBoundedHostResolver(std::make_shared<InstantResolver>()),
                 .local = MakeSystemLocalAddressSource(),
                 .keep = std::chrono::milliseconds(state.range(0))});
  std::size_t i = 0;
  for (auto _ : state) {
    const PacEvaluation out =
        OVProxy::evaluatePacForSystemServiceWithDns(kDnsScript, DnsUrl(i++), dns);
    if (!out.ok) state.SkipWithError(out.detail.c_str());
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_DnsScriptSystemService)
    ->ArgName("keep_ms")
    ->Arg(30'000)
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond);

void BM_DnsScriptInProcess(benchmark::State& state) {
  std::size_t i = 0;
  std::string result;
  for (auto _ : state) {
    const std::string url = DnsUrl(i++);
    OVProxy::js_runner_t(kDnsScript).run(url, OVProxy::host_from_url(url), result);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_DnsScriptInProcess)->Unit(benchmark::kMicrosecond);

}  // namespace
