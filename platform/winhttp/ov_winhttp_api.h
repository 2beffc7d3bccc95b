// The system's asynchronous proxy resolution service, shaped after the calls
// the module makes to it: open a session, set and remove the status callback,
// set the time-outs, create one resolver handle per request, ask for the
// proxy of a URL with auto-proxy options (answered "pending" and completed
// later through the status callback), read and free the result, close
// handles.
//
// Strings are UTF-8; an implementation on a UTF-16 system converts inside.
// Implementations: the system's WinHTTP on Windows (ov_winhttp_win.h), the
// process's own threads elsewhere (ov_winhttp_linux.h).
//
// Completion contract: every GetProxyForUrlEx that answered kErrorIoPending
// produces exactly one call of the status callback that was set on the
// session when the resolver handle was created (a resolver handle inherits
// the session's callback and flags at creation, so removing the callback
// from the session later does not orphan running requests):
//  - kStatusGetProxyForUrlComplete, with the 32-bit result code as the
//    status information (length 4): 0 when the result is ready for
//    GetProxyResult, else kErrorAutoDetectionFailed (nothing detected),
//    kErrorUnableToDownloadScript (the script could not be fetched),
//    kErrorTimeout (fetching it timed out) or kErrorBadAutoProxyScript (the
//    script did not load or failed while running);
//  - kStatusRequestError, with an AsyncResult, when the request could not be
//    carried out at all (its resolver handle was closed while it ran:
//    kErrorOperationCancelled).
// The callback runs on a thread of the service, never on the caller's; the
// `context` given to GetProxyForUrlEx is handed back unchanged.
//
// Thread: every operation may be called from any thread. Each resolver
// handle carries one request at a time.
// Lifetime: handles live until CloseHandle; a service object lives as long
// as someone holds it (resolvers hold it by shared pointer).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ovplatform {

// Opaque handle value; kNullHandle is "no handle".
using WinHttpHandle = uintptr_t;
inline constexpr WinHttpHandle kNullHandle = 0;

using WinHttpStatusCallback = void (*)(WinHttpHandle handle, uintptr_t context, uint32_t status,
                                       const void* info, uint32_t length);

// Callback flags (what the callback wants to hear) and status values.
inline constexpr uint32_t kCallbackFlagGetProxyForUrlComplete = 0x01000000;
inline constexpr uint32_t kCallbackFlagRequestError = 0x00200000;
inline constexpr uint32_t kCallbackFlagAllNotifications = 0xFFFFFFFF;
inline constexpr uint32_t kStatusGetProxyForUrlComplete = 0x01000000;
inline constexpr uint32_t kStatusRequestError = 0x00200000;

// AutoProxyOptions::flags and ::auto_detect_flags.
inline constexpr uint32_t kAutoProxyAutoDetect = 0x1;
inline constexpr uint32_t kAutoProxyConfigUrl = 0x2;
inline constexpr uint32_t kAutoDetectTypeDhcp = 0x1;
inline constexpr uint32_t kAutoDetectTypeDnsA = 0x2;

// Result codes (the system's numbers).
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorTimeout = 12002;
inline constexpr uint32_t kErrorInternalError = 12004;
inline constexpr uint32_t kErrorOperationCancelled = 12017;
inline constexpr uint32_t kErrorIncorrectHandleState = 12019;
inline constexpr uint32_t kErrorBadAutoProxyScript = 12166;
inline constexpr uint32_t kErrorUnableToDownloadScript = 12167;
inline constexpr uint32_t kErrorAutoProxyServiceError = 12178;
inline constexpr uint32_t kErrorAutoDetectionFailed = 12180;

// Entry schemes.
inline constexpr uint32_t kProxySchemeDirect = 0;  // shaped after "no proxy"
inline constexpr uint32_t kProxySchemeHttp = 1;
inline constexpr uint32_t kProxySchemeHttps = 2;
inline constexpr uint32_t kProxySchemeSocks = 4;

struct AutoProxyOptions {
  uint32_t flags = 0;              // kAutoProxyAutoDetect | kAutoProxyConfigUrl
  uint32_t auto_detect_flags = 0;  // kAutoDetectTypeDhcp | kAutoDetectTypeDnsA
  std::string auto_config_url;     // used with kAutoProxyConfigUrl; may be empty
  bool auto_logon_if_challenged = false;
};

struct ProxyResultEntry {
  bool proxy = false;  // false for a direct entry
  bool bypass = false;
  uint32_t scheme = kProxySchemeDirect;
  // Host, or for SOCKS "4 host" / "5 host" (the protocol version, a blank,
  // the host).
  std::string proxy_text;
  uint16_t port = 0;

  bool operator==(const ProxyResultEntry&) const = default;
};

struct ProxyResult {
  std::vector<ProxyResultEntry> entries;
};

// Status information of kStatusRequestError.
struct AsyncResult {
  uintptr_t api = 0;  // which call failed (always GetProxyForUrlEx here)
  uint32_t error = 0;
};

class WinHttpApi {
 public:
  virtual ~WinHttpApi() = default;

  // A session; kNullHandle on failure.
  virtual WinHttpHandle Open(bool async) = 0;
  // False when the callback could not be set (the "invalid callback"
  // answer). A null callback removes it.
  virtual bool SetStatusCallback(WinHttpHandle session, WinHttpStatusCallback callback,
                                 uint32_t flags) = 0;
  // Milliseconds for name resolution, connecting, sending and receiving; a
  // value below 1 leaves that time-out unlimited.
  virtual bool SetTimeouts(WinHttpHandle session, int32_t resolve_ms, int32_t connect_ms,
                           int32_t send_ms, int32_t receive_ms) = 0;
  // kErrorSuccess with `*resolver` set, else an error code.
  virtual uint32_t CreateProxyResolver(WinHttpHandle session, WinHttpHandle* resolver) = 0;
  // kErrorIoPending when accepted (see the completion contract above),
  // else an error code and no callback (kErrorUnableToDownloadScript from a
  // service too busy to take more requests).
  virtual uint32_t GetProxyForUrlEx(WinHttpHandle resolver, const std::string& url,
                                    const AutoProxyOptions& options, uintptr_t context) = 0;
  // The result of the resolver's completed request.
  virtual uint32_t GetProxyResult(WinHttpHandle resolver, ProxyResult* result) = 0;
  virtual void FreeProxyResult(ProxyResult* result) = 0;
  // Closing a resolver handle whose request still runs cancels it.
  virtual bool CloseHandle(WinHttpHandle handle) = 0;
};

// Tells the process's own resolution service that the network changed, so
// that detection results, scripts and the addresses of names scripts looked
// up, kept for the old network, are dropped.
// The module calls it on its network-change path; any thread. On Windows the
// system's service hears of network changes itself and this does nothing.
void NoteNetworkChangeForSystemProxyService();

}  // namespace ovplatform
