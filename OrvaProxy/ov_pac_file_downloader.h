// ovPACFileDownloader: fetches PAC files through the host's file-transfer
// module (hostlibs/onetxfer), found anew for every request through the
// message-queue service, and only while the experiment "UseFileXfer" is on.
//
// It keeps the last non-empty body with the two validators the module
// returned (ETag, Last-Modified) and sends them when the same URL is asked
// for again; an unchanged file ("xfer download no update") hands back the
// kept body with success. "Not modified" without a kept body of that URL
// (a server answering 304 to a first request) is a failure. A failure
// leaves the cache alone. Error texts: "xfer is not available", "xfer
// request start failed", "xfer download stream failure, no result", "xfer
// download stream failure", "xfer download no update, no kept copy".
//
// Thread: Download and CancelDownload on the decider's runner; outcomes are
// posted as tasks "pac downloader PostCallback" (grouping value 61) to the
// runner the caller named, and the cache is read and written only there (the
// decider's runner and the callback runner are one runner in the module).
// The transfer observer runs on the module's thread and reaches the
// downloader only through a weak reference, so a transfer that outlives the
// downloader ends without touching it.
// Lifetime: owned by the decider. Transfers still running at destruction
// are not cancelled here; their outcomes are dropped.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "OrvaProxy/ov_i_pac_downloader.h"

namespace OVProxy {

class ovPACFileDownloader;

// Posted outcomes hold this weakly; its one field points at the downloader.
struct ovIPACDownloaderWeakHolder {
  ovPACFileDownloader* downloader = nullptr;
};

class ovPACFileDownloader final : public ovIPACDownloader {
 public:
  // Bodies above this size are refused (the transfer module enforces the
  // same bound; this one guards against a module that does not).
  static constexpr std::size_t kMaxPacBytes = 1024 * 1024;

  ovPACFileDownloader();
  ~ovPACFileDownloader() override;
  ovPACFileDownloader(const ovPACFileDownloader&) = delete;
  ovPACFileDownloader& operator=(const ovPACFileDownloader&) = delete;

  void Download(PacRequestId& requestId, const std::string& url, PACDownloadCallback callback,
                const std::string& callbackRunner) override;
  void CancelDownload(const PacRequestId& requestId) override;

  // What one transfer ended with, as handed to the callback runner.
  struct Outcome {
    PacRequestId request_id;
    std::string url;
    std::string validator_1;
    std::string validator_2;
    std::string content;
    bool success = false;
    std::string error;
  };

  // Posts `outcome` to `callbackRunner`; when the task runs and the
  // downloader behind `holder` still exists, the cache is updated and the
  // callback called.
  static void PostCallback(std::weak_ptr<ovIPACDownloaderWeakHolder> holder, Outcome outcome,
                           const std::string& callbackRunner, PACDownloadCallback callback);

 private:
  class StreamObserver;

  void ExecuteDownloadSimplified(PacRequestId& requestId, const std::string& url,
                                 const std::string& validator1, const std::string& validator2,
                                 PACDownloadCallback callback, const std::string& callbackRunner);
  void Deliver(Outcome& outcome, const PACDownloadCallback& callback);

  std::shared_ptr<ovIPACDownloaderWeakHolder> holder_;
  std::string cached_content_;
  std::string cached_url_;
  std::string cache_validator_1_;
  std::string cache_validator_2_;
};

}  // namespace OVProxy
