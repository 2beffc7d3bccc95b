// ovWinHttpAsyncResolver ("WinHttpAsync"): lets the system's own proxy
// resolution service (ovplatform::WinHttpApi) evaluate automatic
// configurations: auto-detection and PAC URLs. One resolver handle of the
// service per request; the service's completion arrives on one of its own
// threads and is posted back to the runner that called resolve, where the
// answer is converted (convertProxyResult) and handed to the delegate with
// resolver kind 0. Every completion, failed ones included, reports latency
// metric 20.
//
// resolve: e_pending when the service took the request; otherwise
// e_resolver_not_initialized, e_invalid_argument (no configuration, empty
// URL) or e_resolve_failed, and then no delegate call follows: a refused
// request is answered once, by the return value.
// Completion codes: 12167 and 12180 become e_pac_unavailable, 12002 and
// 12178 e_resolver_timeout, any other failure e_resolve_failed.
//
// Threads: resolve, the cancel operations, initialize and uninitialize run on
// runners of the task library (the resolve service's in practice); the
// delegate is called on the runner that called resolve. A thread without a
// runner name gets its answers on "main.thread.runner"; when the runner has
// gone, the answer is dropped and the request forgotten. The request map and
// the session are guarded by a lock, because the status callback runs on the
// service's threads.
//
// Cancellation: cancelRequest marks a request so that its completion is
// dropped (no delegate call) and closes its handle of the service at once,
// which stops the service's work on it (a queued request leaves the queue,
// a running one stops at its next step); the completion the service may
// still send is dropped and closes nothing twice. Ids the resolver does not
// hold are ignored and still answer e_success. cancelAllRequests does the
// same for every request.
//
// Lifetime: posted completions hold the resolver weakly, so a completion that
// arrives after destruction does nothing but close its service handle. The
// destructor may run on another thread than a completion being delivered; it
// waits for that delivery to return, and nothing reaches the delegate after
// it returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "OrvaProxy/ov_proxy_resolver.h"
#include "platform/winhttp/ov_winhttp_api.h"

namespace OVProxy {

class ovWinHttpAsyncResolver : public ovProxyAsyncResolver {
 public:
  static constexpr uint32_t kResolverKind = 0;
  static constexpr int32_t kLatencyMetric = 20;
  // Time-outs handed to the service, in ms.
  static constexpr int32_t kResolveTimeoutMs = 2000;
  static constexpr int32_t kConnectTimeoutMs = 3000;
  static constexpr int32_t kSendTimeoutMs = 2000;
  static constexpr int32_t kReceiveTimeoutMs = 3000;

  // `api` null: the resolver is not available (initialize answers
  // e_not_supported).
  explicit ovWinHttpAsyncResolver(std::shared_ptr<ovplatform::WinHttpApi> api);
  ~ovWinHttpAsyncResolver() override;
  ovWinHttpAsyncResolver(const ovWinHttpAsyncResolver&) = delete;
  ovWinHttpAsyncResolver& operator=(const ovWinHttpAsyncResolver&) = delete;

  eErrorCode initialize() override;
  eErrorCode uninitialize() override;
  eErrorCode resolve(const std::string& requestId, const std::string& url, const std::string& extra,
                     std::shared_ptr<ovProxyConfig> config, ovProxyInfo& result) override;
  std::string getName() override { return "WinHttpAsync"; }
  bool isAvailable() override { return available_; }
  eErrorCode cancelRequest(const std::string& requestId) override;
  void cancelAllRequests() override;
  void setDelegate(ovProxyResolverDelegate* delegate) override;
  ovProxyResolverDelegate* getDelegate() override;

  // The service's status callback (any thread of the service).
  static void WinHttpStatusCallback(ovplatform::WinHttpHandle handle, uintptr_t context,
                                    uint32_t status, const void* info, uint32_t length);

  // The service's entries as one named-proxy text: "HTTPS://h:443",
  // "SOCKS4://h:1080" / "SOCKS5://h:1080" from "4 h" / "5 h", a bare "h:80"
  // for other schemes, "DIRECT" for a direct entry (entries after it are
  // dropped). Entries without a host are skipped; nothing left (or no result
  // at all) means DIRECT.
  static void convertProxyResult(const ovplatform::ProxyResult* result, ovProxyInfo& answer);

  // Requests still held (outstanding or cancelled and not yet completed).
  std::size_t requestCount();

  struct Core;

 private:
  std::shared_ptr<Core> core_;
  bool initialized_ = false;
  bool available_ = true;
};

// The creation function the controller and the PK resolver use. Without an
// `api` the process's own service is used (ovSystemProxyService).
std::unique_ptr<ovProxyAsyncResolver> createWinHttpAsyncResolver(
    std::shared_ptr<ovplatform::WinHttpApi> api = nullptr);

}  // namespace OVProxy
