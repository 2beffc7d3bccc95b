// FakeFileXferModule: a file-transfer module, registered while it lives, that
// records every start and keeps each transfer until the test completes it
// (on the test's thread). Thread-safe; Complete calls the observer unlocked.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "onetxfer/onet_api.h"
#include "onetxfer/oxfer_types.h"
#include "tavlib/tav_message_queue.h"

namespace ovtest {

class FakeFileXferModule {
 public:
  struct Start {
    oXfer::RequestId id;
    std::string url, validator_1, validator_2;
  };

  FakeFileXferModule() : module_(std::make_shared<Module>()) {
    TavMQ_GetService()->RegisterModule(module_);
  }
  ~FakeFileXferModule() {
    if (TavMQ_GetService()->GetModule(orvaus::kONetModuleId) == module_) {
      TavMQ_GetService()->UnregisterModule(orvaus::kONetModuleId);
    }
  }
  FakeFileXferModule(const FakeFileXferModule&) = delete;
  FakeFileXferModule& operator=(const FakeFileXferModule&) = delete;

  void SetReady(bool ready) { module_->ready = ready; }
  void RefuseStarts(bool refuse) { module_->refuse_starts = refuse; }
  std::vector<Start> starts() const {
    std::lock_guard lock(module_->mutex);
    return module_->started;
  }
  // Started and not yet completed.
  std::size_t open_transfers() const {
    std::lock_guard lock(module_->mutex);
    return module_->open.size();
  }
  // Streams `body` through the transfer's data callback, sets a result record
  // with the validators (none without `withResult`) and calls
  // OnComplete(id, code). False for an unknown or finished id.
  bool Complete(const oXfer::RequestId& id, int32_t code, const std::string& body = "",
                const std::string& validator1 = "", const std::string& validator2 = "",
                bool withResult = true) {
    Module::Open transfer;
    {
      std::lock_guard lock(module_->mutex);
      auto node = module_->open.extract(id);
      if (node.empty()) return false;
      transfer = std::move(node.mapped());
    }
    const auto& save_info = transfer.parameters->save_info;
    if (save_info && save_info->data_callback() && !body.empty()) {
      // Two chunks, as a real transfer would stream it.
      const std::size_t half = body.size() / 2;
      save_info->data_callback()(body.data(), half, 0, false);
      save_info->data_callback()(body.data() + half, body.size() - half, static_cast<int64_t>(half),
                                 false);
    }
    if (withResult) {
      auto result = std::make_shared<oXfer::DownloadResult>();
      result->validator_1 = validator1;
      result->validator_2 = validator2;
      result->body_bytes = static_cast<int64_t>(body.size());
      transfer.observer->set_result(std::move(result));
    }
    transfer.observer->OnComplete(id, code);
    return true;
  }

 private:
  class Module final : public Tav::ITavMessageQueueClient,
                       public orvaus::IONetAPI,
                       public orvaus::IFileXferClient {
   public:
    struct Open {
      oXfer::ScopedRef<oXfer::DownloadUrlParameters> parameters;
      oXfer::ScopedRef<oXfer::RepeatingCallBack> observer;
    };

    const char* GetModuleId() const override { return orvaus::kONetModuleId; }
    void* QueryInterface(const char* name) override {
      if (name == nullptr) return nullptr;
      if (std::strcmp(name, orvaus::kONetApiName) == 0) return static_cast<orvaus::IONetAPI*>(this);
      if (std::strcmp(name, orvaus::kFileXferClientName) == 0)
        return static_cast<orvaus::IFileXferClient*>(this);
      return nullptr;
    }
    int32_t IsNetworkReady() override { return ready ? 1 : 0; }
    bool StartDownload(oXfer::DownloadUrlParameters* parameters, oXfer::RepeatingCallBack* observer,
                       oXfer::RequestId* requestId) override {
      std::lock_guard lock(mutex);
      if (refuse_starts || parameters == nullptr || observer == nullptr) return false;
      const std::string number = std::to_string(started.size() + 1);
      const oXfer::RequestId id = u"fake-" + oXfer::RequestId(number.begin(), number.end());
      started.push_back({id, parameters->url, parameters->validator_1, parameters->validator_2});
      open.emplace(id, Open{oXfer::ScopedRef<oXfer::DownloadUrlParameters>(parameters),
                            oXfer::ScopedRef<oXfer::RepeatingCallBack>(observer)});
      *requestId = id;
      return true;
    }
    void CancelDownload(const oXfer::RequestId&) override {}
    std::mutex mutex;
    std::atomic<bool> ready{true}, refuse_starts{false};
    std::vector<FakeFileXferModule::Start> started;
    std::map<oXfer::RequestId, Open> open;
  };
  std::shared_ptr<Module> module_;
};

}  // namespace ovtest
