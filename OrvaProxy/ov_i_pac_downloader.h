// ovIPACDownloader: fetches one PAC file for the PAC file decider.
//
// Download starts a fetch and may write the request id of the transfer into
// `requestId` (it stays as it was when nothing could be started). Every
// outcome, the immediate ones included, arrives later as a task on the runner
// named `callbackRunner`, never inside Download: (request id, content,
// success, error text). CancelDownload ends a fetch early; whether its
// outcome still arrives is the implementation's business, so callers match
// outcomes against the id they are waiting for.
//
// Thread: Download and CancelDownload are called on the decider's runner.
// Lifetime: outcomes that arrive after the downloader is gone are dropped.
#pragma once

#include <functional>
#include <string>

namespace OVProxy {

// Request ids are wide strings produced by the transfer module.
using PacRequestId = std::u16string;

using PACDownloadCallback =
    std::function<void(const PacRequestId& requestId, const std::string& content, bool success,
                       const std::string& error)>;

class ovIPACDownloader {
 public:
  virtual ~ovIPACDownloader() = default;
  virtual void Download(PacRequestId& requestId, const std::string& url,
                        PACDownloadCallback callback, const std::string& callbackRunner) = 0;
  virtual void CancelDownload(const PacRequestId& requestId) = 0;
};

}  // namespace OVProxy
