#include "platform/winhttp/ov_winhttp_win.h"

#include <windows.h>
#include <winhttp.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/os/ov_os.h"

namespace ovplatform {
namespace {

static_assert(kCallbackFlagGetProxyForUrlComplete == WINHTTP_CALLBACK_FLAG_GETPROXYFORURL_COMPLETE);
static_assert(kCallbackFlagRequestError == WINHTTP_CALLBACK_FLAG_REQUEST_ERROR);
static_assert(kStatusGetProxyForUrlComplete == WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE);
static_assert(kStatusRequestError == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR);
static_assert(kAutoProxyAutoDetect == WINHTTP_AUTOPROXY_AUTO_DETECT);
static_assert(kAutoProxyConfigUrl == WINHTTP_AUTOPROXY_CONFIG_URL);
static_assert(kAutoDetectTypeDhcp == WINHTTP_AUTO_DETECT_TYPE_DHCP);
static_assert(kAutoDetectTypeDnsA == WINHTTP_AUTO_DETECT_TYPE_DNS_A);
static_assert(kErrorAutoProxyServiceError == ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR);
static_assert(kErrorAutoDetectionFailed == ERROR_WINHTTP_AUTODETECTION_FAILED);
static_assert(kErrorUnableToDownloadScript == ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT);
static_assert(kErrorOperationCancelled == ERROR_WINHTTP_OPERATION_CANCELLED);
static_assert(kErrorTimeout == ERROR_WINHTTP_TIMEOUT);
static_assert(kErrorIoPending == ERROR_IO_PENDING);

// What WinHTTP always reports to this layer, whatever the caller asked for:
// the trampoline owns each request's record and must see its end.
constexpr DWORD kRequestEnds =
    WINHTTP_CALLBACK_FLAG_GETPROXYFORURL_COMPLETE | WINHTTP_CALLBACK_FLAG_REQUEST_ERROR;

struct Subscriber {
  WinHttpStatusCallback callback = nullptr;
  uint32_t flags = 0;
};

// One accepted request, handed to WinHTTP as its context and freed by the
// status callback that ends it.
struct PendingRequest {
  Subscriber subscriber;
  uintptr_t context = 0;
};

HINTERNET ToSystem(WinHttpHandle handle) {
  return reinterpret_cast<HINTERNET>(handle);
}

WinHttpHandle FromSystem(HINTERNET handle) {
  return reinterpret_cast<WinHttpHandle>(handle);
}

void CALLBACK OnSystemStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                             DWORD length) {
  if (context == 0 || (status != WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE &&
                       status != WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)) {
    return;
  }
  const std::unique_ptr<PendingRequest> pending(reinterpret_cast<PendingRequest*>(context));
  const Subscriber& to = pending->subscriber;
  if (to.callback == nullptr || (to.flags & status) == 0) return;
  try {
    if (status == WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE) {
      // Success comes without status information on some versions.
      uint32_t code = kErrorSuccess;
      if (info != nullptr && length == sizeof(DWORD)) code = *static_cast<const DWORD*>(info);
      to.callback(FromSystem(handle), pending->context, status, &code, sizeof(code));
      return;
    }
    AsyncResult result{0, kErrorOperationCancelled};
    if (info != nullptr && length >= sizeof(WINHTTP_ASYNC_RESULT)) {
      const auto* async = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
      result = AsyncResult{async->dwResult, async->dwError};
    }
    to.callback(FromSystem(handle), pending->context, status, &result, sizeof(result));
  } catch (...) {
    // Nothing may unwind into WinHTTP's thread.
  }
}

class SystemWinHttp final : public WinHttpApi {
 public:
  ~SystemWinHttp() override {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, subscriber] : resolvers_) WinHttpCloseHandle(ToSystem(handle));
    for (const auto& [handle, subscriber] : sessions_) {
      WinHttpSetStatusCallback(ToSystem(handle), nullptr, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                               0);
      WinHttpCloseHandle(ToSystem(handle));
    }
  }

  WinHttpHandle Open(bool async) override {
    if (!async) return kNullHandle;
    HINTERNET session = WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (session == nullptr) return kNullHandle;
    std::lock_guard lock(mutex_);
    sessions_[FromSystem(session)] = Subscriber{};
    return FromSystem(session);
  }

  bool SetStatusCallback(WinHttpHandle session, WinHttpStatusCallback callback,
                         uint32_t flags) override {
    std::lock_guard lock(mutex_);
    const auto it = sessions_.find(session);
    if (it == sessions_.end()) return false;
    // Under the lock, so that what WinHTTP holds and what resolvers inherit
    // from the record never disagree.
    const WINHTTP_STATUS_CALLBACK previous =
        callback != nullptr
            ? WinHttpSetStatusCallback(ToSystem(session), &OnSystemStatus, flags | kRequestEnds, 0)
            : WinHttpSetStatusCallback(ToSystem(session), nullptr,
                                       WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0);
    if (previous == WINHTTP_INVALID_STATUS_CALLBACK) return false;
    it->second = callback != nullptr ? Subscriber{callback, flags} : Subscriber{};
    return true;
  }

  bool SetTimeouts(WinHttpHandle session, int32_t resolve_ms, int32_t connect_ms, int32_t send_ms,
                   int32_t receive_ms) override {
    // WinHTTP takes 0 for "unlimited" and refuses values below -1.
    const auto system = [](int32_t ms) { return ms < 1 ? 0 : static_cast<int>(ms); };
    std::lock_guard lock(mutex_);
    if (!sessions_.contains(session)) return false;
    return WinHttpSetTimeouts(ToSystem(session), system(resolve_ms), system(connect_ms),
                              system(send_ms), system(receive_ms)) != FALSE;
  }

  uint32_t CreateProxyResolver(WinHttpHandle session, WinHttpHandle* resolver) override {
    if (resolver == nullptr) return kErrorInvalidParameter;
    std::lock_guard lock(mutex_);
    const auto it = sessions_.find(session);
    if (it == sessions_.end()) return kErrorInvalidHandle;
    HINTERNET created = nullptr;
    const DWORD error = WinHttpCreateProxyResolver(ToSystem(session), &created);
    if (error != ERROR_SUCCESS) return error;
    if (created == nullptr) return kErrorInternalError;
    resolvers_[FromSystem(created)] = it->second;
    *resolver = FromSystem(created);
    return kErrorSuccess;
  }

  uint32_t GetProxyForUrlEx(WinHttpHandle resolver, const std::string& url,
                            const AutoProxyOptions& options, uintptr_t context) override {
    const std::wstring wide_url = Utf8ToWide(url).value_or(std::wstring());
    if (wide_url.empty()) return kErrorInvalidParameter;
    const std::wstring wide_config_url =
        Utf8ToWide(options.auto_config_url).value_or(std::wstring());
    if (!options.auto_config_url.empty() && wide_config_url.empty()) return kErrorInvalidParameter;

    std::unique_ptr<PendingRequest> pending;
    {
      std::lock_guard lock(mutex_);
      const auto it = resolvers_.find(resolver);
      if (it == resolvers_.end()) return kErrorInvalidHandle;
      // Without a callback on the handle WinHTTP calls nobody, so there is
      // nothing to hand over.
      if (it->second.callback != nullptr) {
        pending = std::make_unique<PendingRequest>(PendingRequest{it->second, context});
      }
    }
    WINHTTP_AUTOPROXY_OPTIONS system{};
    system.dwFlags = options.flags;
    system.dwAutoDetectFlags = options.auto_detect_flags;
    system.lpszAutoConfigUrl = wide_config_url.empty() ? nullptr : wide_config_url.c_str();
    system.fAutoLogonIfChallenged = options.auto_logon_if_challenged ? TRUE : FALSE;
    const DWORD answer = WinHttpGetProxyForUrlEx(ToSystem(resolver), wide_url.c_str(), &system,
                                                 reinterpret_cast<DWORD_PTR>(pending.get()));
    // Accepted: the record belongs to the status callback now.
    if (answer == ERROR_IO_PENDING) (void)pending.release();
    return answer;
  }

  uint32_t GetProxyResult(WinHttpHandle resolver, ProxyResult* result) override {
    if (result == nullptr) return kErrorInvalidParameter;
    {
      std::lock_guard lock(mutex_);
      if (!resolvers_.contains(resolver)) return kErrorInvalidHandle;
    }
    WINHTTP_PROXY_RESULT system{};
    const DWORD error = WinHttpGetProxyResult(ToSystem(resolver), &system);
    if (error != ERROR_SUCCESS) return error;
    *result = ConvertSystemProxyResult(system);
    WinHttpFreeProxyResult(&system);
    return kErrorSuccess;
  }

  void FreeProxyResult(ProxyResult* result) override {
    // The system's list was freed when it was copied.
    if (result != nullptr) result->entries.clear();
  }

  bool CloseHandle(WinHttpHandle handle) override {
    std::lock_guard lock(mutex_);
    if (sessions_.erase(handle) == 0 && resolvers_.erase(handle) == 0) return false;
    return WinHttpCloseHandle(ToSystem(handle)) != FALSE;
  }

 private:
  std::mutex mutex_;  // guards both maps
  std::map<WinHttpHandle, Subscriber> sessions_;
  // Each resolver handle with the subscriber it inherited at creation.
  std::map<WinHttpHandle, Subscriber> resolvers_;
};

}  // namespace

ProxyResult ConvertSystemProxyResult(const WINHTTP_PROXY_RESULT& result) {
  ProxyResult converted;
  if (result.pEntries == nullptr) return converted;
  converted.entries.reserve(result.cEntries);
  for (DWORD i = 0; i < result.cEntries; ++i) {
    const WINHTTP_PROXY_RESULT_ENTRY& entry = result.pEntries[i];
    ProxyResultEntry out;
    out.bypass = entry.fBypass != FALSE;
    if (entry.fProxy != FALSE) {
      out.proxy = true;
      out.scheme = static_cast<uint32_t>(entry.ProxyScheme);
      if (entry.pwszProxy != nullptr) {
        out.proxy_text = WideToUtf8(entry.pwszProxy).value_or(std::string());
      }
      out.port = entry.ProxyPort;
    }
    converted.entries.push_back(std::move(out));
  }
  return converted;
}

std::shared_ptr<WinHttpApi> CreateSystemWinHttp() {
  return std::make_shared<SystemWinHttp>();
}

void NoteNetworkChangeForSystemProxyService() {}

}  // namespace ovplatform
