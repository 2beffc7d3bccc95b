// WinHttpFileXferClient: the file-transfer module's downloads on Windows, on
// the system's WinHTTP in asynchronous mode, driven by one thread of the
// client's own. The same rules and outcomes as CurlFileXferClient:
//  - http and https only, for the first request and for every redirect;
//    redirects (301, 302, 303, 307, 308 with a Location) only when the
//    request asks for them, and at most max_redirects; the client follows
//    them itself, so that every target is checked;
//  - never through a proxy (the session is opened with no proxy);
//  - the body is capped at max_body_bytes: an announced length over the cap
//    ends the transfer before any body is read, a body that grows past it
//    ends it when it does (kResultBodyTooLarge);
//  - connection time-out (name resolution and connecting) and a whole-
//    transfer time-out, redirects included (kResultTimedOut);
//  - validators are sent only when the request sets use_validators, and
//    never when they hold a line break.
// Outcome: 2xx completes with kResultOk and the response's ETag and
// Last-Modified as validators 1 and 2; 304 with kResultNotModified; any
// other status or failure with a non-zero code and a readable error. Only
// the body of a 2xx response reaches the data callback.
//
// Thread: StartDownload and CancelDownload may be called from any thread.
// WinHTTP's callbacks only queue what happened; the client's thread makes
// every WinHTTP call after the first and calls the observers and data
// callbacks, never under the client's lock. Lifetime: destruction ends every
// transfer still running (completion with kResultShutdown) and joins the
// thread; it must not run on that thread. A request handle WinHTTP has not
// let go of yet keeps its own small record (and the buffer WinHTTP may still
// write to) until WinHTTP reports it closed.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "onetxfer/onet_api.h"

namespace oXfer {

namespace winhttp_xfer {
struct Hub;
}

class WinHttpFileXferClient final : public orvaus::IFileXferClient, public orvaus::IONetAPI {
 public:
  WinHttpFileXferClient();
  ~WinHttpFileXferClient() override;
  WinHttpFileXferClient(const WinHttpFileXferClient&) = delete;
  WinHttpFileXferClient& operator=(const WinHttpFileXferClient&) = delete;

  // orvaus::IFileXferClient
  bool StartDownload(DownloadUrlParameters* parameters, RepeatingCallBack* observer,
                     RequestId* requestId) override;
  void CancelDownload(const RequestId& requestId) override;

  // orvaus::IONetAPI: non-zero while the client's thread serves downloads.
  int32_t IsNetworkReady() override;

 private:
  void* session_ = nullptr;  // HINTERNET
  // Shared with WinHTTP's callbacks, which may outlive the client.
  std::shared_ptr<winhttp_xfer::Hub> hub_;
  std::thread thread_;
};

}  // namespace oXfer
