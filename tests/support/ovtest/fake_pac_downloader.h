// FakePacDownloads: PAC downloads answered by hand. Its downloaders (Create)
// record requests ("dl-<n>", or no id after LeaveIdsEmpty) and cancels here,
// where the test still sees them once a decider owns one. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaProxy/ov_i_pac_downloader.h"
#include "orvatask/orva_task.h"

namespace ovtest {

class FakePacDownloads : public std::enable_shared_from_this<FakePacDownloads> {
 public:
  struct Request {
    OVProxy::PacRequestId id;
    std::string url;
    std::string runner;
    OVProxy::PACDownloadCallback callback;
  };

  std::unique_ptr<OVProxy::ovIPACDownloader> Create() {
    return std::make_unique<Downloader>(shared_from_this());
  }
  void LeaveIdsEmpty(bool leave) {
    Locked([&] { return leave_ids_empty_ = leave; });
  }
  std::vector<Request> requests() const {
    return Locked([&] { return requests_; });
  }
  std::vector<OVProxy::PacRequestId> cancels() const {
    return Locked([&] { return cancels_; });
  }
  // Downloaders created and not yet destroyed.
  int alive() const {
    return Locked([&] { return alive_; });
  }

  // Posts the outcome of request `index` to the runner it named, as a real
  // downloader does, grouped with value 61. False when the index is unknown
  // or the runner refused the task.
  bool Finish(std::size_t index, const std::string& content, bool success,
              const std::string& error = "") {
    const auto all = requests();
    OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
    if (index >= all.size() || manager == nullptr) return false;
    const Request& r = all[index];
    return manager->PostTask(
        r.runner,
        OrvaTask::CreateOrvaTask({.name = "fake pac download result", .value = 61},
                                 [callback = r.callback, id = r.id, content, success, error] {
                                   if (callback) callback(id, content, success, error);
                                 }));
  }

 private:
  class Downloader final : public OVProxy::ovIPACDownloader {
   public:
    explicit Downloader(std::shared_ptr<FakePacDownloads> owner) : owner_(std::move(owner)) {
      owner_->Locked([&] { return ++owner_->alive_; });
    }
    ~Downloader() override {
      owner_->Locked([&] { return --owner_->alive_; });
    }
    void Download(OVProxy::PacRequestId& requestId, const std::string& url,
                  OVProxy::PACDownloadCallback callback, const std::string& runner) override {
      owner_->Locked([&] {
        OVProxy::PacRequestId id;
        if (!owner_->leave_ids_empty_) {
          const std::string number = std::to_string(owner_->requests_.size() + 1);
          requestId = id = u"dl-" + OVProxy::PacRequestId(number.begin(), number.end());
        }
        owner_->requests_.push_back({id, url, runner, std::move(callback)});
        return 0;
      });
    }
    void CancelDownload(const OVProxy::PacRequestId& requestId) override {
      owner_->Locked([&] { return owner_->cancels_.push_back(requestId), 0; });
    }

   private:
    std::shared_ptr<FakePacDownloads> owner_;
  };

  template <typename F>
  auto Locked(F f) const -> decltype(f()) {
    std::lock_guard lock(mutex_);
    return f();
  }

  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::vector<OVProxy::PacRequestId> cancels_;
  bool leave_ids_empty_ = false;
  int alive_ = 0;
};

}  // namespace ovtest
