#include "OrvaProxy/ov_winhttp_async_resolver.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_system_proxy_service.h"
#include "OrvaProxy/ov_task_constants.h"
#include "OrvaProxy/ov_telemetry_reporter.h"
#include "orvatask/orva_task.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {

using ovplatform::kNullHandle;
using ovplatform::WinHttpApi;
using ovplatform::WinHttpHandle;

namespace {

// Handed to the service as the request's context; owned by the service from
// the moment it accepted the request until the status callback takes it.
struct WinHttpRequestContext {
  std::string request_id;
  std::weak_ptr<ovWinHttpAsyncResolver::Core> resolver;
  // Closes the handle when the resolver is gone. Weak: a context the
  // service never hands back must not keep the service alive.
  std::weak_ptr<WinHttpApi> api;
  WinHttpHandle resolver_handle = kNullHandle;
  std::string runner_name;
  int64_t start_ns = 0;
  uint64_t serial = 0;
};

// What the status callback posts to the requesting runner.
struct Completion {
  std::string request_id;
  std::shared_ptr<WinHttpApi> api;
  WinHttpHandle resolver_handle = kNullHandle;
  bool request_error = false;
  uint32_t error = 0;
  int64_t start_ns = 0;
  uint64_t serial = 0;
};

eErrorCode MapCompletionError(uint32_t error) {
  switch (error) {
    case ovplatform::kErrorUnableToDownloadScript:
    case ovplatform::kErrorAutoDetectionFailed:
      return e_pac_unavailable;
    case ovplatform::kErrorTimeout:
    case ovplatform::kErrorAutoProxyServiceError:
      return e_resolver_timeout;
    default:
      return e_resolve_failed;
  }
}

}  // namespace

struct ovWinHttpAsyncResolver::Core {
  explicit Core(std::shared_ptr<WinHttpApi> service) : api(std::move(service)) {}

  const std::shared_ptr<WinHttpApi> api;

  // A request id may be used again once its request ended or was
  // cancelled; the serial tells a late completion of the earlier request
  // from the current one.
  struct Request {
    bool cancelled = false;
    uint64_t serial = 0;
    // The service's handle of the request, once it has one; closed once,
    // by whoever claims it first (cancelling closes it at once so that the
    // service stops the request).
    WinHttpHandle handle = kNullHandle;
    bool handle_claimed = false;
  };

  std::mutex mutex;  // guards requests, next_serial and session
  std::map<std::string, Request> requests;
  uint64_t next_serial = 1;
  WinHttpHandle session = kNullHandle;

  // Held while the delegate is called, so that closing waits for a call in
  // progress on another thread. Recursive: the delegate may resolve again or
  // destroy the resolver from within the call.
  std::recursive_mutex delivery_mutex;
  bool open = true;  // guarded by delivery_mutex
  std::atomic<ovProxyResolverDelegate*> delegate{nullptr};

  eErrorCode openLocked() {
    if (session != kNullHandle) return e_success;
    const WinHttpHandle opened = api->Open(true);
    if (opened == kNullHandle) return e_resolve_failed;
    if (!api->SetStatusCallback(opened, &ovWinHttpAsyncResolver::WinHttpStatusCallback,
                                ovplatform::kCallbackFlagGetProxyForUrlComplete |
                                    ovplatform::kCallbackFlagRequestError)) {
      api->CloseHandle(opened);
      return e_resolve_failed;
    }
    // A failure leaves the service's defaults in force.
    (void)api->SetTimeouts(opened, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                           kReceiveTimeoutMs);
    session = opened;
    return e_success;
  }

  void closeLocked() {
    if (session == kNullHandle) return;
    api->SetStatusCallback(session, nullptr, ovplatform::kCallbackFlagAllNotifications);
    api->CloseHandle(session);
    session = kNullHandle;
  }

  // Whether the request is held, not cancelled, and not a newer one with
  // the same id.
  bool isLive(const std::string& id, uint64_t serial) {
    std::lock_guard lock(mutex);
    const auto it = requests.find(id);
    return it != requests.end() && it->second.serial == serial && !it->second.cancelled;
  }

  // Whether the caller may close the request's handle: false once a
  // cancellation closed it. A request no longer held cannot be cancelled.
  bool claimHandle(const std::string& id, uint64_t serial) {
    std::lock_guard lock(mutex);
    const auto it = requests.find(id);
    if (it == requests.end() || it->second.serial != serial) return true;
    if (it->second.handle_claimed) return false;
    it->second.handle_claimed = true;
    return true;
  }

  void closeRequestHandle(const std::string& id, uint64_t serial, WinHttpHandle handle) {
    if (claimHandle(id, serial)) api->CloseHandle(handle);
  }

  // Marks the request cancelled and takes its handle for closing, if it
  // has one that nobody closed yet.
  WinHttpHandle cancelLocked(Request& request) {
    request.cancelled = true;
    if (request.handle == kNullHandle || request.handle_claimed) return kNullHandle;
    request.handle_claimed = true;
    return request.handle;
  }

  void erase(const std::string& id, uint64_t serial) {
    std::lock_guard lock(mutex);
    const auto it = requests.find(id);
    if (it != requests.end() && it->second.serial == serial) requests.erase(it);
  }

  void deliver(const std::string& id, std::shared_ptr<ovProxyInfo> result, eErrorCode error) {
    std::lock_guard lock(delivery_mutex);
    ovProxyResolverDelegate* target = delegate.load(std::memory_order_acquire);
    if (!open || !target) return;
    target->onResolveComplete(id, std::move(result), error, kResolverKind);
  }

  void close() {
    std::lock_guard lock(delivery_mutex);
    open = false;
  }

  // On the requesting runner.
  void complete(const Completion& completion) {
    const std::string& id = completion.request_id;
    const uint64_t serial = completion.serial;
    if (!isLive(id, serial)) {
      closeRequestHandle(id, serial, completion.resolver_handle);
      erase(id, serial);
      return;
    }
    if (completion.request_error) {
      closeRequestHandle(id, serial, completion.resolver_handle);
      erase(id, serial);
      deliver(id, nullptr, e_resolve_failed);
      return;
    }
    const int64_t elapsed_ms = (Tav::TimeTicks::NowNs() - completion.start_ns) / 1'000'000;
    ovTelemetryReporter::GetInstance().reportLatency(kLatencyMetric, elapsed_ms);

    eErrorCode code = e_success;
    std::shared_ptr<ovProxyInfo> answer;
    if (completion.error != ovplatform::kErrorSuccess) {
      code = MapCompletionError(completion.error);
    } else {
      ovplatform::ProxyResult result;
      if (api->GetProxyResult(completion.resolver_handle, &result) == ovplatform::kErrorSuccess) {
        answer = std::make_shared<ovProxyInfo>();
        convertProxyResult(&result, *answer);
        api->FreeProxyResult(&result);
      } else {
        code = e_resolve_failed;
      }
    }
    closeRequestHandle(id, serial, completion.resolver_handle);
    // Forgotten before the delegate hears of it: the delegate may start a
    // request with the same id from within the call.
    erase(id, serial);
    deliver(id, std::move(answer), code);
  }
};

ovWinHttpAsyncResolver::ovWinHttpAsyncResolver(std::shared_ptr<WinHttpApi> api)
    : core_(std::make_shared<Core>(std::move(api))), available_(core_->api != nullptr) {}

ovWinHttpAsyncResolver::~ovWinHttpAsyncResolver() {
  core_->close();
  uninitialize();
}

eErrorCode ovWinHttpAsyncResolver::initialize() {
  if (initialized_) return e_success;
  std::lock_guard lock(core_->mutex);
  core_->requests.clear();
  if (!available_) {
    ovLog(LogLevel::kError, "WINHTTP_NAV",
          "ovWinHttpAsyncResolver: Not available on this platform");
    return e_not_supported;
  }
  if (const eErrorCode code = core_->openLocked(); code != e_success) {
    ovLog(LogLevel::kError, "WINHTTP_INI", "ovWinHttpAsyncResolver: Failed to initialize WinHTTP");
    return code;
  }
  initialized_ = true;
  return e_success;
}

eErrorCode ovWinHttpAsyncResolver::uninitialize() {
  if (initialized_) {
    std::lock_guard lock(core_->mutex);
    core_->closeLocked();
    initialized_ = false;
  }
  return e_success;
}

eErrorCode ovWinHttpAsyncResolver::resolve(const std::string& requestId, const std::string& url,
                                           const std::string& extra,
                                           std::shared_ptr<ovProxyConfig> config,
                                           ovProxyInfo& result) {
  (void)extra;
  (void)result;
  if (!initialized_) {
    ovLog(LogLevel::kError, "WINHTTP_NIN", "ovWinHttpAsyncResolver: Not initialized");
    return e_resolver_not_initialized;
  }
  if (!config || url.empty()) return e_invalid_argument;

  WinHttpApi& api = *core_->api;
  uint64_t serial = 0;
  WinHttpHandle session = kNullHandle;
  {
    std::lock_guard lock(core_->mutex);
    serial = core_->next_serial++;
    core_->requests[requestId] = Core::Request{false, serial};
    if (const eErrorCode code = core_->openLocked(); code != e_success) {
      core_->requests.erase(requestId);
      return code;
    }
    session = core_->session;
  }

  ovplatform::AutoProxyOptions options;
  const std::string& pac_url = config->getPacUrl();
  if (!config->auto_detect() && !pac_url.empty()) {
    options.flags = ovplatform::kAutoProxyConfigUrl;
    options.auto_config_url = pac_url;
  } else {
    options.flags = ovplatform::kAutoProxyAutoDetect;
    options.auto_detect_flags = ovplatform::kAutoDetectTypeDhcp | ovplatform::kAutoDetectTypeDnsA;
    if (!pac_url.empty()) {
      options.flags |= ovplatform::kAutoProxyConfigUrl;
      options.auto_config_url = pac_url;
    }
  }

  WinHttpHandle handle = kNullHandle;
  if (const uint32_t error = api.CreateProxyResolver(session, &handle);
      error != ovplatform::kErrorSuccess) {
    ovLog(LogLevel::kError, "WINHTTP_CRE",
          "ovWinHttpAsyncResolver: WinHttpCreateProxyResolver failed - error=" +
              std::to_string(error));
    core_->erase(requestId, serial);
    return e_resolve_failed;
  }
  {
    std::lock_guard lock(core_->mutex);
    if (const auto it = core_->requests.find(requestId);
        it != core_->requests.end() && it->second.serial == serial) {
      it->second.handle = handle;
    }
  }

  std::string runner = OrvaTask::GetRunnerNameOfCurrentThread();
  if (runner.empty()) {
    // Without a runner the answer would have nowhere to go.
    runner = kMainThreadRunnerName;
    ovLog(LogLevel::kWarning, "WINHTTP_NRN",
          "ovWinHttpAsyncResolver: Called outside a runner, answering on main runner - "
          "requestId=" +
              requestId);
  }
  auto context = std::make_unique<WinHttpRequestContext>(WinHttpRequestContext{
      requestId, core_, core_->api, handle, std::move(runner), Tav::TimeTicks::NowNs(), serial});
  // The service owns the context once it accepted the request; it may call
  // back (and free it) before GetProxyForUrlEx returns.
  const auto token = reinterpret_cast<uintptr_t>(context.release());
  const uint32_t error = api.GetProxyForUrlEx(handle, url, options, token);
  if (error == ovplatform::kErrorIoPending) return e_pending;

  std::unique_ptr<WinHttpRequestContext> refused(reinterpret_cast<WinHttpRequestContext*>(token));
  ovLog(LogLevel::kError, "WINHTTP_GPU",
        "ovWinHttpAsyncResolver: WinHttpGetProxyForUrlEx failed - error=" + std::to_string(error));
  core_->closeRequestHandle(requestId, serial, handle);
  core_->erase(requestId, serial);
  return e_resolve_failed;
}

eErrorCode ovWinHttpAsyncResolver::cancelRequest(const std::string& requestId) {
  WinHttpHandle handle = kNullHandle;
  {
    std::lock_guard lock(core_->mutex);
    // Only held requests are marked: marking others would keep entries that
    // no completion ever removes.
    if (const auto it = core_->requests.find(requestId); it != core_->requests.end()) {
      handle = core_->cancelLocked(it->second);
    }
  }
  // Closing the handle is what stops the service's work on the request (a
  // queued one leaves the queue, a running one stops at its next step).
  if (handle != kNullHandle) core_->api->CloseHandle(handle);
  return e_success;
}

void ovWinHttpAsyncResolver::cancelAllRequests() {
  std::vector<WinHttpHandle> handles;
  {
    std::lock_guard lock(core_->mutex);
    for (auto& [id, request] : core_->requests) {
      if (const WinHttpHandle handle = core_->cancelLocked(request); handle != kNullHandle) {
        handles.push_back(handle);
      }
    }
  }
  for (const WinHttpHandle handle : handles) core_->api->CloseHandle(handle);
}

void ovWinHttpAsyncResolver::setDelegate(ovProxyResolverDelegate* delegate) {
  core_->delegate.store(delegate, std::memory_order_release);
}

ovProxyResolverDelegate* ovWinHttpAsyncResolver::getDelegate() {
  return core_->delegate.load(std::memory_order_acquire);
}

std::size_t ovWinHttpAsyncResolver::requestCount() {
  std::lock_guard lock(core_->mutex);
  return core_->requests.size();
}

void ovWinHttpAsyncResolver::WinHttpStatusCallback(WinHttpHandle handle, uintptr_t context,
                                                   uint32_t status, const void* info,
                                                   uint32_t length) {
  (void)handle;
  if (context == 0) return;
  std::unique_ptr<WinHttpRequestContext> request(reinterpret_cast<WinHttpRequestContext*>(context));
  const std::shared_ptr<Core> core = request->resolver.lock();
  const std::shared_ptr<WinHttpApi> api = request->api.lock();
  const auto forget = [&] {
    if (api && (!core || core->claimHandle(request->request_id, request->serial))) {
      api->CloseHandle(request->resolver_handle);
    }
    if (core) core->erase(request->request_id, request->serial);
  };
  if (!core || !api || request->runner_name.empty() ||
      !core->isLive(request->request_id, request->serial) ||
      (status != ovplatform::kStatusGetProxyForUrlComplete &&
       status != ovplatform::kStatusRequestError)) {
    forget();
    return;
  }

  Completion completion{request->request_id,
                        api,
                        request->resolver_handle,
                        status == ovplatform::kStatusRequestError,
                        0,
                        request->start_ns,
                        request->serial};
  if (!completion.request_error && info && length == sizeof(uint32_t)) {
    std::memcpy(&completion.error, info, sizeof(uint32_t));
  }

  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  const auto make_task = [&] {
    return OrvaTask::CreateOrvaTask({.name = "WinHttpAsyncResolverCompletion",
                                     .location = OrvaTask::SourceLocation::Current(),
                                     .value = kResolveTaskGroup},
                                    [weak = request->resolver, completion] {
                                      if (const std::shared_ptr<Core> owner = weak.lock()) {
                                        owner->complete(completion);
                                      } else {
                                        completion.api->CloseHandle(completion.resolver_handle);
                                      }
                                    });
  };
  if (manager && (manager->PostTask(request->runner_name, make_task()) ||
                  manager->PostTask(kMainThreadRunnerName, make_task()))) {
    return;
  }
  ovLog(LogLevel::kWarning, "WINHTTP_DRP",
        "ovWinHttpAsyncResolver: No runner took the completion - requestId=" + request->request_id);
  forget();
}

void ovWinHttpAsyncResolver::convertProxyResult(const ovplatform::ProxyResult* result,
                                                ovProxyInfo& answer) {
  if (!result || result->entries.empty()) {
    answer.UseDirect();
    return;
  }
  std::string text;
  for (const ovplatform::ProxyResultEntry& entry : result->entries) {
    if (entry.scheme == ovplatform::kProxySchemeDirect) {
      if (!text.empty()) text += "; ";
      text += "DIRECT";
      break;
    }
    if (entry.proxy_text.empty()) continue;
    if (!text.empty()) text += "; ";
    if (entry.scheme == ovplatform::kProxySchemeHttps) {
      text += "HTTPS://" + entry.proxy_text;
    } else if (entry.scheme == ovplatform::kProxySchemeSocks) {
      const std::string& host = entry.proxy_text;
      if (host.size() >= 2 && host[1] == ' ') {
        text += (host[0] == '4' ? "SOCKS4://" : "SOCKS5://") + host.substr(2);
      } else {
        text += "SOCKS5://" + host;
      }
    } else {
      text += entry.proxy_text;
    }
    if (entry.port != 0) text += ":" + std::to_string(entry.port);
  }
  if (text.empty()) {
    answer.UseDirect();
  } else {
    answer.UseNamedProxy(text);
  }
}

std::unique_ptr<ovProxyAsyncResolver> createWinHttpAsyncResolver(std::shared_ptr<WinHttpApi> api) {
  return std::make_unique<ovWinHttpAsyncResolver>(api ? std::move(api) : ovSystemProxyService());
}

}  // namespace OVProxy
