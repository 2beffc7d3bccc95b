#include "ovtest/fake_pac_downloader.h"

#include "orvatask/orva_task.h"

namespace ovtest {

class FakePacDownloads::Downloader final : public OVProxy::ovIPACDownloader {
 public:
  explicit Downloader(std::shared_ptr<FakePacDownloads> owner) : owner_(std::move(owner)) {
    std::lock_guard<std::mutex> lock(owner_->mutex_);
    ++owner_->alive_;
  }
  ~Downloader() override {
    std::lock_guard<std::mutex> lock(owner_->mutex_);
    --owner_->alive_;
  }

  void Download(OVProxy::PacRequestId& requestId, const std::string& url,
                OVProxy::PACDownloadCallback callback, const std::string& callbackRunner) override {
    std::lock_guard<std::mutex> lock(owner_->mutex_);
    OVProxy::PacRequestId id;
    if (!owner_->leave_ids_empty_) {
      const std::string number = std::to_string(owner_->entries_.size() + 1);
      id = u"dl-" + OVProxy::PacRequestId(number.begin(), number.end());
      requestId = id;
    }
    owner_->entries_.push_back({{id, url, callbackRunner}, std::move(callback)});
  }

  void CancelDownload(const OVProxy::PacRequestId& requestId) override {
    std::lock_guard<std::mutex> lock(owner_->mutex_);
    owner_->cancels_.push_back(requestId);
  }

 private:
  std::shared_ptr<FakePacDownloads> owner_;
};

std::unique_ptr<OVProxy::ovIPACDownloader> FakePacDownloads::Create() {
  return std::make_unique<Downloader>(shared_from_this());
}

void FakePacDownloads::LeaveIdsEmpty(bool leave) {
  std::lock_guard<std::mutex> lock(mutex_);
  leave_ids_empty_ = leave;
}

std::vector<FakePacDownloads::Request> FakePacDownloads::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Request> out;
  for (const Entry& entry : entries_) out.push_back(entry.request);
  return out;
}

std::vector<OVProxy::PacRequestId> FakePacDownloads::cancels() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancels_;
}

int FakePacDownloads::alive() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return alive_;
}

bool FakePacDownloads::Finish(std::size_t index, const std::string& content, bool success,
                              const std::string& error) {
  Entry entry;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= entries_.size()) return false;
    entry = entries_[index];
  }
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager == nullptr) return false;
  auto task = OrvaTask::CreateOrvaTask(
      OrvaTask::TaskAttribute{.name = "fake pac download result",
                              .location = OrvaTask::SourceLocation::Current(),
                              .value = 61},
      [callback = entry.callback, id = entry.request.id, content, success, error]() {
        if (callback) callback(id, content, success, error);
      });
  return manager->PostTask(entry.request.runner, task);
}

}  // namespace ovtest
