// A second process on the data-sync bus (bus directory from XDG_RUNTIME_DIR)
// for tests and benchmarks. One command per line on standard input, one
// answer line each, until the input closes:
//   join            -> "join applied" | "join nopeer" | "join pending"
//   pacurl          -> the PAC URL it reads
//   lookup HOST     -> "found PROXYHOST:PORT" | "missing"
//   waitlookup HOST -> "ok PROXYHOST:PORT NS" (CLOCK_MONOTONIC ns when found) | "timeout"
//   armlookup HOST  -> "armed" at once, then what waitlookup answers
//   waitanswer URL  -> the whole cached answer for URL's host-cache key in PAC
//                      form once there is one | "timeout"
//   rules           -> "type=N single=PAC http=PAC https=PAC" of the configuration
//   count           -> how many hosts the received host cache holds
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "OrvaProxy/ov_proxy_resolve_service.h"
#include "nsdal/ipc_helper.h"

namespace {

using OVProxy::ovProxyInfo;
using OVProxy::ovProxyInfoModeImpl;
constexpr auto kWait = std::chrono::seconds(10);

int64_t MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::mutex g_mutex;
std::condition_variable g_heard;
uint64_t g_messages = 0;

// Waits until `done` holds, looking again after every message of the mode.
bool WaitUntil(const std::function<bool()>& done) {
  std::unique_lock lock(g_mutex);
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!done()) {
    const uint64_t seen = g_messages;
    if (!g_heard.wait_until(lock, deadline, [&] { return g_messages != seen; })) return done();
  }
  return true;
}

std::string Describe(const ovProxyInfo& info) {
  return info.proxy_server().host + ":" + std::to_string(info.proxy_server().port);
}

}  // namespace

int main() {
  ovProxyInfoModeImpl* mode = ovProxyInfoModeImpl::GetInstance();
  mode->addFieldListener(OVProxy::kProxyInfoModeId, [](const std::string&) {
    {
      std::lock_guard lock(g_mutex);
      ++g_messages;
    }
    g_heard.notify_all();
  });
  auto config = mode->getConfigMode();
  auto cache = mode->getHostCacheMode();
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command, host;
    in >> command >> host;
    ovProxyInfo info;
    if (command == "join") {
      const auto state = ns_dal::IPCHelper::WaitForJoin(OVProxy::kProxyInfoModeId, kWait);
      std::cout << (state == ns_dal::JoinState::kApplied  ? "join applied"
                    : state == ns_dal::JoinState::kNoPeer ? "join nopeer"
                                                          : "join pending")
                << std::endl;
    } else if (command == "pacurl") {
      std::cout << config->getPacUrl() << std::endl;
    } else if (command == "lookup") {
      std::cout << (cache->lookup(host, info) ? "found " + Describe(info) : "missing") << std::endl;
    } else if (command == "waitlookup" || command == "armlookup") {
      if (command == "armlookup") std::cout << "armed" << std::endl;
      const bool found = WaitUntil([&] { return cache->lookup(host, info); });
      const int64_t at = MonotonicNs();
      std::cout << (found ? "ok " + Describe(info) + " " + std::to_string(at) : "timeout")
                << std::endl;
    } else if (command == "waitanswer") {
      const std::string key = OVProxy::ovProxyResolveServiceImpl::hostKey(host);
      const bool found = WaitUntil([&] { return cache->lookup(key, info); });
      std::cout << (found ? info.ToPacString() : "timeout") << std::endl;
    } else if (command == "rules") {
      OVProxy::ovProxyConfig current;
      config->getConfig(current);
      const auto& rules = current.proxy_rules();
      std::cout << "type=" << static_cast<int>(rules.type)
                << " single=" << rules.single_proxies.ToPacString()
                << " http=" << rules.proxies_for_http.ToPacString()
                << " https=" << rules.proxies_for_https.ToPacString() << std::endl;
    } else if (command == "count") {
      const auto received = mode->getDalMode()->received();
      std::cout << (received.host_cache ? received.host_cache->size() : 0) << std::endl;
    } else {
      std::cout << "unknown command" << std::endl;
    }
  }
  return 0;
}
