// FakePacDownloads: PAC downloads answered by hand. Create() makes
// downloaders (OVProxy::ovIPACDownloader) that record every request and
// cancel here, so a test keeps access after a decider took ownership of one.
// Finish posts the outcome to the runner the request named, as a real
// downloader does, with the grouping value 61.
//
// Each request gets the id "dl-<n>" unless LeaveIdsEmpty(true) makes
// Download leave the caller's id untouched (a downloader that could not start).
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaProxy/ov_i_pac_downloader.h"

namespace ovtest {

class FakePacDownloads : public std::enable_shared_from_this<FakePacDownloads> {
 public:
  struct Request {
    OVProxy::PacRequestId id;
    std::string url;
    std::string runner;
  };

  std::unique_ptr<OVProxy::ovIPACDownloader> Create();

  void LeaveIdsEmpty(bool leave);
  std::vector<Request> requests() const;
  std::vector<OVProxy::PacRequestId> cancels() const;
  // Downloaders created and not yet destroyed.
  int alive() const;

  // Posts the outcome of request `index` (in request order). False when the
  // index is unknown or the runner refused the task.
  bool Finish(std::size_t index, const std::string& content, bool success,
              const std::string& error = "");

 private:
  class Downloader;
  struct Entry {
    Request request;
    OVProxy::PACDownloadCallback callback;
  };

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::vector<OVProxy::PacRequestId> cancels_;
  bool leave_ids_empty_ = false;
  int alive_ = 0;
};

}  // namespace ovtest
