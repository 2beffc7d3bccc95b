// The system-shaped proxy resolution service against a PAC server that
// accepts connections and never answers, then recovers:
//  1. 500 requests for distinct hosts arrive at once, every one with the
//     same PAC URL and time-outs that sum to 2 s; each is answered (by its
//     callback, or refused at once by a full service). Reported: the longest
//     wait of a caller, and how the answers split.
//  2. The server starts serving the script. A new host is asked every
//     50 ms until one is answered from the script. Reported: how long after
//     the server recovered that took (the failure is remembered for
//     kFailedScriptLifetime) and how long that one request took.
//  3. The service goes idle. Reported: the process's threads and resident
//     memory before the burst, at its peak and once the idle threads ended.
// Run: build/default/bench/system_resolver_backlog_bench (about 45 s).
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "OrvaProxy/ov_system_proxy_service.h"
#include "bench_data.h"

namespace {

using namespace ovplatform;
using Clock = std::chrono::steady_clock;

constexpr int kHosts = 500;
// resolve + connect + send + receive: a request's whole time-out is 2 s.
constexpr WinHttpTimeouts kTimeouts{500, 500, 500, 500};

int ThreadCount() {
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}

// One caller's request.
struct Slot {
  Clock::time_point asked;
  Clock::time_point answered;
  uint32_t status = 0;
  uint32_t code = 0;
  bool done = false;
};

struct Calls {
  std::mutex mutex;
  std::condition_variable changed;
  int done = 0;
};
Calls g_calls;

void OnStatus(WinHttpHandle, uintptr_t context, uint32_t status, const void* info,
              uint32_t length) {
  auto* slot = reinterpret_cast<Slot*>(context);
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(g_calls.mutex);
  slot->answered = now;
  slot->status = status;
  if (status == kStatusGetProxyForUrlComplete && length == sizeof(uint32_t)) {
    std::memcpy(&slot->code, info, sizeof(uint32_t));
  } else if (status == kStatusRequestError && length == sizeof(AsyncResult)) {
    slot->code = static_cast<const AsyncResult*>(info)->error;
  }
  slot->done = true;
  ++g_calls.done;
  g_calls.changed.notify_all();
}

// Accepts and holds every request until it is told to serve.
class SilentPacServer {
 public:
  SilentPacServer() : pac_(ovbench::ReadBenchData("corporate.pac")) {
    server_.Get("/wpad.pac", [this](const httplib::Request&, httplib::Response& response) {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, std::chrono::seconds(60), [&] { return serving_ || stopping_; });
      if (!serving_) return;
      response.set_content(pac_, "application/x-ns-proxy-autoconfig");
    });
    // Served at once: warms the process up before the baseline is taken.
    server_.Get("/warm.pac", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(pac_, "application/x-ns-proxy-autoconfig");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~SilentPacServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    server_.stop();
    thread_.join();
  }
  void Serve() {
    std::lock_guard lock(mutex_);
    serving_ = true;
    changed_.notify_all();
  }
  std::string Url(const char* path = "/wpad.pac") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  std::string pac_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool serving_ = false;
  bool stopping_ = false;
};

// One resolution on a throwaway service: the server's thread pool, the
// transfer library and the PAC engine are set up before the baseline.
bool WarmUp(const std::string& pac_url) {
  std::shared_ptr<WinHttpApi> api =
      CreateLinuxWinHttp(LinuxWinHttpOptions{.evaluator = OVProxy::evaluatePacForSystemService});
  const WinHttpHandle session = api->Open(true);
  api->SetStatusCallback(session, OnStatus,
                         kCallbackFlagGetProxyForUrlComplete | kCallbackFlagRequestError);
  WinHttpHandle handle = kNullHandle;
  api->CreateProxyResolver(session, &handle);
  Slot slot;
  const AutoProxyOptions options{.flags = kAutoProxyConfigUrl, .auto_config_url = pac_url};
  if (api->GetProxyForUrlEx(handle, "https://warm.example/", options,
                            reinterpret_cast<uintptr_t>(&slot)) != kErrorIoPending) {
    return false;
  }
  std::unique_lock lock(g_calls.mutex);
  g_calls.changed.wait_for(lock, std::chrono::seconds(10), [&] { return slot.done; });
  g_calls.done = 0;
  return slot.done && slot.code == kErrorSuccess;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void BM_DeadServerBurstThenRecovery(benchmark::State& state) {
  SilentPacServer server;
  const AutoProxyOptions options{.flags = kAutoProxyConfigUrl, .auto_config_url = server.Url()};
  if (!WarmUp(server.Url("/warm.pac"))) state.SkipWithError("the warm-up failed");
  for (auto _ : state) {
    std::shared_ptr<WinHttpApi> api = CreateLinuxWinHttp(LinuxWinHttpOptions{
        .evaluator = OVProxy::evaluatePacForSystemService, .timeouts_override = kTimeouts});
    const WinHttpHandle session = api->Open(true);
    api->SetStatusCallback(session, OnStatus,
                           kCallbackFlagGetProxyForUrlComplete | kCallbackFlagRequestError);
    const int threads_before = ThreadCount();
    const double rss_before = ovbench::ResidentMiB();

    // 1. The burst.
    std::vector<Slot> slots(kHosts);
    std::vector<WinHttpHandle> handles(kHosts, kNullHandle);
    int refused = 0;
    int threads_peak = threads_before;
    for (int i = 0; i < kHosts; ++i) {
      api->CreateProxyResolver(session, &handles[i]);
      slots[i].asked = Clock::now();
      const std::string url = "https://host" + std::to_string(i) + ".example/";
      if (api->GetProxyForUrlEx(handles[i], url, options, reinterpret_cast<uintptr_t>(&slots[i])) !=
          kErrorIoPending) {
        std::lock_guard lock(g_calls.mutex);
        slots[i].answered = Clock::now();
        slots[i].done = true;
        ++refused;
        ++g_calls.done;
      }
      threads_peak = std::max(threads_peak, ThreadCount());
    }
    {
      std::unique_lock lock(g_calls.mutex);
      g_calls.changed.wait_for(lock, std::chrono::seconds(30),
                               [&] { return g_calls.done >= kHosts; });
      if (g_calls.done < kHosts) state.SkipWithError("a caller was never answered");
    }
    double max_wait_ms = 0;
    int timed_out = 0, failed = 0;
    for (const Slot& slot : slots) {
      if (!slot.done) continue;
      max_wait_ms = std::max(max_wait_ms, Ms(slot.answered - slot.asked));
      if (slot.code == kErrorTimeout) ++timed_out;
      if (slot.code == kErrorUnableToDownloadScript) ++failed;
    }
    for (WinHttpHandle handle : handles) api->CloseHandle(handle);
    threads_peak = std::max(threads_peak, ThreadCount());

    // 2. The server recovers; a new host every 50 ms until one is answered
    // from the script.
    server.Serve();
    const Clock::time_point recovered = Clock::now();
    double recovery_s = -1, answer_ms = -1;
    for (int i = 0; i < 240 && recovery_s < 0; ++i) {
      Slot slot;
      WinHttpHandle handle = kNullHandle;
      api->CreateProxyResolver(session, &handle);
      slot.asked = Clock::now();
      const std::string url = "https://after" + std::to_string(i) + ".example/";
      if (api->GetProxyForUrlEx(handle, url, options, reinterpret_cast<uintptr_t>(&slot)) ==
          kErrorIoPending) {
        std::unique_lock lock(g_calls.mutex);
        g_calls.changed.wait_for(lock, std::chrono::seconds(5), [&] { return slot.done; });
        if (slot.done && slot.code == kErrorSuccess) {
          recovery_s = Ms(Clock::now() - recovered) / 1000.0;
          answer_ms = Ms(slot.answered - slot.asked);
        }
        if (!slot.done) state.SkipWithError("a request after recovery was never answered");
      }
      api->CloseHandle(handle);
      if (recovery_s < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (recovery_s < 0) state.SkipWithError("never answered from the recovered server");

    // 3. Idle: the service's threads end after their idle time.
    int threads_after = ThreadCount();
    for (int i = 0; i < 200 && threads_after > threads_before; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      threads_after = ThreadCount();
    }
    state.counters["callers"] = kHosts;
    state.counters["max_wait_ms"] = max_wait_ms;
    state.counters["refused_at_once"] = refused;
    state.counters["timed_out"] = timed_out;
    state.counters["failed_download"] = failed;
    state.counters["recovered_after_s"] = recovery_s;
    state.counters["recovered_answer_ms"] = answer_ms;
    state.counters["threads_before"] = threads_before;
    state.counters["threads_peak"] = threads_peak;
    state.counters["threads_after"] = threads_after;
    state.counters["rss_before_MiB"] = rss_before;
    state.counters["rss_after_MiB"] = ovbench::ResidentMiB();
    api.reset();
    g_calls.done = 0;
  }
}
BENCHMARK(BM_DeadServerBurstThenRecovery)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
