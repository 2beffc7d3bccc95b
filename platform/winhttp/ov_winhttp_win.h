// The Windows implementation of the proxy resolution service (WinHttpApi):
// the system's own WinHTTP, called asynchronously (WinHttpOpen with
// WINHTTP_FLAG_ASYNC, WinHttpSetStatusCallback, WinHttpSetTimeouts,
// WinHttpCreateProxyResolver, WinHttpGetProxyForUrlEx, WinHttpGetProxyResult,
// WinHttpFreeProxyResult, WinHttpCloseHandle). Handle values are WinHTTP's
// own; only handles this object opened or created are passed to WinHTTP, any
// other value is answered kErrorInvalidHandle (or false) without a system
// call.
//
// Completion: WinHTTP's status callback is a function of this layer, which
// hands every GETPROXYFORURL_COMPLETE and REQUEST_ERROR to the caller's
// callback with the caller's context, in the shapes the interface promises
// (a 4-byte result code; an AsyncResult). The caller's callback and flags are
// taken from the session when the resolver handle is created, as the
// interface says; that exactly one of the two statuses follows every
// accepted request is WinHTTP's own guarantee. The callback runs on
// WinHTTP's threads.
//
// Only asynchronous sessions are offered (Open(false) answers kNullHandle).
// Some system versions answer WinHttpCreateProxyResolver with an error (a
// stub answers kErrorAutoProxyServiceError); the code is handed back
// unchanged for the resolver to map.
//
// Thread: every operation may be called from any thread. Lifetime: the
// object lives as long as someone holds it; handles still open at its
// destruction are closed then.
#pragma once

#include <memory>

#include "platform/winhttp/ov_winhttp_api.h"

struct _WINHTTP_PROXY_RESULT;

namespace ovplatform {

std::shared_ptr<WinHttpApi> CreateSystemWinHttp();

// WinHTTP's result list in the interface's shape: host texts converted from
// UTF-16, an entry that is not a proxy becomes a direct entry (scheme
// kProxySchemeDirect, no host, no port), other schemes are kept as WinHTTP
// numbers them. Exposed for tests: WinHTTP's resolver cannot be driven to a
// result on every system.
ProxyResult ConvertSystemProxyResult(const _WINHTTP_PROXY_RESULT& result);

}  // namespace ovplatform
