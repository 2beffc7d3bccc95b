#include "OrvaProxy/ov_pac_file_downloader.h"

#include <utility>

#include "OrvaProxy/ov_log.h"
#include "OrvaProxy/ov_task_constants.h"
#include "onetxfer/onet_api.h"
#include "onetxfer/oxfer_types.h"
#include "orvatask/orva_task.h"
#include "tavbiz/experiment_mgr.h"
#include "tavlib/tav_message_queue.h"

namespace OVProxy {
namespace {

constexpr const char kUseFileXferExperiment[] = "UseFileXfer";
constexpr const char kErrorNotAvailable[] = "xfer is not available";
constexpr const char kErrorStartFailed[] = "xfer request start failed";
constexpr const char kErrorNoResult[] = "xfer download stream failure, no result";
constexpr const char kErrorNoUpdate[] = "xfer download no update";
constexpr const char kErrorStreamFailure[] = "xfer download stream failure";
constexpr const char kErrorNoKeptCopy[] = "xfer download no update, no kept copy";

// The transfer client with the module that owns it; the client is valid
// while `module` is held.
struct XferClient {
  std::shared_ptr<Tav::ITavMessageQueueClient> module;
  orvaus::IFileXferClient* client = nullptr;
};

std::optional<XferClient> getFileXferClient() {
  ExperimentFramework::IExperimentMgr* experiments = ExperimentFramework::GetExperimentMgr();
  if (experiments == nullptr || !experiments->IsTestEnabled(kUseFileXferExperiment)) {
    return std::nullopt;
  }
  Tav::ITavMessageQueueService* service = TavMQ_GetService();
  if (service == nullptr) return std::nullopt;
  XferClient found;
  found.module = service->GetModule(orvaus::kONetModuleId);
  if (!found.module) return std::nullopt;
  auto* net = static_cast<orvaus::IONetAPI*>(found.module->QueryInterface(orvaus::kONetApiName));
  if (net == nullptr || net->IsNetworkReady() == 0) return std::nullopt;
  found.client = static_cast<orvaus::IFileXferClient*>(
      found.module->QueryInterface(orvaus::kFileXferClientName));
  if (found.client == nullptr) return std::nullopt;
  return found;
}

}  // namespace

// Collects the body on the module's thread and posts the outcome. It holds
// the downloader only weakly: the module may complete a transfer after the
// downloader is gone.
class ovPACFileDownloader::StreamObserver final : public oXfer::RepeatingCallBack {
 public:
  StreamObserver(std::weak_ptr<ovIPACDownloaderWeakHolder> holder, std::string url,
                 PACDownloadCallback callback, std::string callbackRunner)
      : holder_(std::move(holder)),
        url_(std::move(url)),
        callback_(std::move(callback)),
        callback_runner_(std::move(callbackRunner)),
        body_(std::make_shared<Body>()) {}

  // The sink for the parameter record's save information.
  oXfer::DownloadSaveInfo::DataCallback Sink() const {
    return [body = body_](const char* data, std::size_t count, int64_t, bool) {
      if (data == nullptr || count == 0) return;
      if (body->text.size() + count > kMaxPacBytes) {
        body->overflow = true;
        return;
      }
      body->text.append(data, count);
    };
  }

  void OnComplete(const oXfer::RequestId& requestId, int32_t resultCode) override {
    if (holder_.expired()) return;  // the downloader is gone: nobody to tell
    Outcome outcome;
    outcome.request_id = requestId;
    outcome.url = url_;
    const std::shared_ptr<oXfer::DownloadResult>& record = result();
    if (!record) {
      outcome.error = kErrorNoResult;
    } else if (resultCode == oXfer::kResultOk && !body_->overflow) {
      outcome.validator_1 = record->validator_1;
      outcome.validator_2 = record->validator_2;
      outcome.content = std::move(body_->text);
      outcome.success = true;
    } else if (resultCode == oXfer::kResultNotModified) {
      outcome.success = true;
      outcome.error = kErrorNoUpdate;
    } else {
      outcome.error = kErrorStreamFailure;
    }
    PostCallback(holder_, std::move(outcome), callback_runner_, callback_);
  }

 private:
  struct Body {
    std::string text;
    bool overflow = false;
  };

  ~StreamObserver() override = default;

  const std::weak_ptr<ovIPACDownloaderWeakHolder> holder_;
  const std::string url_;
  const PACDownloadCallback callback_;
  const std::string callback_runner_;
  const std::shared_ptr<Body> body_;
};

ovPACFileDownloader::ovPACFileDownloader()
    : holder_(std::make_shared<ovIPACDownloaderWeakHolder>()) {
  holder_->downloader = this;
}

ovPACFileDownloader::~ovPACFileDownloader() {
  holder_->downloader = nullptr;
}

void ovPACFileDownloader::Download(PacRequestId& requestId, const std::string& url,
                                   PACDownloadCallback callback,
                                   const std::string& callbackRunner) {
  const bool same_url = url == cached_url_;
  ExecuteDownloadSimplified(requestId, url, same_url ? cache_validator_1_ : std::string(),
                            same_url ? cache_validator_2_ : std::string(), std::move(callback),
                            callbackRunner);
}

void ovPACFileDownloader::CancelDownload(const PacRequestId& requestId) {
  if (requestId.empty()) return;
  if (std::optional<XferClient> xfer = getFileXferClient()) xfer->client->CancelDownload(requestId);
}

void ovPACFileDownloader::ExecuteDownloadSimplified(PacRequestId& requestId, const std::string& url,
                                                    const std::string& validator1,
                                                    const std::string& validator2,
                                                    PACDownloadCallback callback,
                                                    const std::string& callbackRunner) {
  const std::optional<XferClient> xfer = getFileXferClient();
  if (!xfer) {
    PostCallback(holder_, Outcome{{}, url, {}, {}, {}, false, kErrorNotAvailable}, callbackRunner,
                 std::move(callback));
    return;
  }
  // The creator's references end with this scope; the module keeps its own.
  auto parameters = oXfer::MakeRef<oXfer::DownloadUrlParameters>(url, std::string());
  parameters->method = "GET";
  parameters->validator_1 = validator1;
  parameters->validator_2 = validator2;
  parameters->use_validators = true;
  parameters->follow_redirects = true;
  auto observer = oXfer::MakeRef<StreamObserver>(holder_, url, callback, callbackRunner);
  parameters->save_info->set_data_callback(observer->Sink());

  oXfer::RequestId started;
  bool accepted = false;
  try {
    accepted = xfer->client->StartDownload(parameters.get(), observer.get(), &started);
  } catch (...) {
    accepted = false;
  }
  if (!accepted) {
    PostCallback(holder_, Outcome{{}, url, {}, {}, {}, false, kErrorStartFailed}, callbackRunner,
                 std::move(callback));
    return;
  }
  requestId = started;
}

void ovPACFileDownloader::PostCallback(std::weak_ptr<ovIPACDownloaderWeakHolder> holder,
                                       Outcome outcome, const std::string& callbackRunner,
                                       PACDownloadCallback callback) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (manager == nullptr) {
    ovLog(LogLevel::kError, "PACDL_NOMGR", "PACFileDownloader: No task manager, result dropped");
    return;
  }
  auto task = OrvaTask::CreateOrvaTask(
      OrvaTask::TaskAttribute{.name = "pac downloader PostCallback",
                              .location = OrvaTask::SourceLocation::Current(),
                              .value = kPacDeciderTaskGroup},
      [holder = std::move(holder), outcome = std::move(outcome),
       callback = std::move(callback)]() mutable {
        const std::shared_ptr<ovIPACDownloaderWeakHolder> alive = holder.lock();
        if (!alive || alive->downloader == nullptr) return;
        alive->downloader->Deliver(outcome, callback);
      });
  if (!manager->PostTask(callbackRunner, task)) {
    ovLog(LogLevel::kError, "PACDL_POST1",
          "PACFileDownloader: Callback runner refused the result - runner=" + callbackRunner);
  }
}

void ovPACFileDownloader::Deliver(Outcome& outcome, const PACDownloadCallback& callback) {
  std::string content;
  // "Not modified" only means something against a copy we keep for this
  // URL; without one (no validators were sent, or the copy belongs to
  // another URL) the server answered nothing usable.
  if (outcome.success && outcome.error == kErrorNoUpdate &&
      (cached_url_ != outcome.url || cached_content_.empty())) {
    ovLog(LogLevel::kWarning, "PACDL_304NC",
          "PACFileDownloader: Not modified without a kept copy, download failed");
    outcome.success = false;
    outcome.error = kErrorNoKeptCopy;
  }
  if (outcome.success) {
    if (!outcome.content.empty()) {
      cached_url_ = outcome.url;
      cache_validator_1_ = std::move(outcome.validator_1);
      cache_validator_2_ = std::move(outcome.validator_2);
      cached_content_ = std::move(outcome.content);
    }
    // The kept body stands in for an unchanged or empty answer, but only for
    // the URL it came from.
    if (cached_url_ == outcome.url) content = cached_content_;
  }
  // The callback may destroy this downloader: nothing of it is used after.
  if (callback) callback(outcome.request_id, content, outcome.success, outcome.error);
}

}  // namespace OVProxy
