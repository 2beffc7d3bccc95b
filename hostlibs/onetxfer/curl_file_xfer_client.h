// CurlFileXferClient: the file-transfer module's downloads, on libcurl's
// multi interface, served by one thread of the client's own.
//
// Rules every download follows, whatever the caller asks:
//  - http and https only, for the first request and for every redirect;
//    redirects only when the request asks for them, and at most
//    max_redirects;
//  - never through a proxy (the PAC file being fetched is what names the
//    proxy), whatever the environment says;
//  - the body is capped at max_body_bytes (1 MiB by default); a larger
//    body ends the transfer with kResultBodyTooLarge;
//  - connection and whole-transfer time-outs (10 s and 30 s by default);
//  - validators are sent only when the request sets use_validators, and
//    never when they hold a line break.
// Outcome: 2xx completes with kResultOk and the response's ETag and
// Last-Modified as validators 1 and 2; 304 with kResultNotModified; any
// other status or failure with a non-zero code and a readable error. Only
// the body of a 2xx response reaches the data callback.
//
// Thread: StartDownload and CancelDownload may be called from any thread;
// the observer's callbacks and the data callback run on the client's
// thread, never under the client's lock. Lifetime: destruction ends every
// transfer still running (completion with kResultShutdown) and joins the
// thread; it must not run on that thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "onetxfer/onet_api.h"

namespace oXfer {

class CurlFileXferClient final : public orvaus::IFileXferClient, public orvaus::IONetAPI {
 public:
  CurlFileXferClient();
  ~CurlFileXferClient() override;
  CurlFileXferClient(const CurlFileXferClient&) = delete;
  CurlFileXferClient& operator=(const CurlFileXferClient&) = delete;

  // orvaus::IFileXferClient
  bool StartDownload(DownloadUrlParameters* parameters, RepeatingCallBack* observer,
                     RequestId* requestId) override;
  void CancelDownload(const RequestId& requestId) override;

  // orvaus::IONetAPI: non-zero while the client's thread serves downloads.
  int32_t IsNetworkReady() override;

 private:
  struct Transfer;
  void Run();
  void Wake();

  void* multi_ = nullptr;  // CURLM*, touched only by the thread (and Wake)
  std::mutex mutex_;       // guards what follows
  std::vector<std::unique_ptr<Transfer>> starts_;
  std::vector<RequestId> cancels_;
  bool stopping_ = false;
  uint64_t next_id_ = 1;
  std::atomic<bool> ready_{false};
  std::thread thread_;
};

}  // namespace oXfer
