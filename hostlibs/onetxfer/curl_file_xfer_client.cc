#include "onetxfer/curl_file_xfer_client.h"

#include <curl/curl.h>

#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "onetxfer/oxfer_response_headers.h"

namespace oXfer {
namespace {

void InitCurlOnce() {
  static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)init;
}

bool IsSuccessStatus(int status) {
  return status >= 200 && status < 300;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != text.npos;
}

}  // namespace

struct CurlFileXferClient::Transfer {
  RequestId id;
  ScopedRef<DownloadUrlParameters> parameters;
  ScopedRef<RepeatingCallBack> observer;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  ResponseHeaders response;
  int64_t received = 0;
  bool too_large = false;
  char error[CURL_ERROR_SIZE] = {};

  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (headers != nullptr) curl_slist_free_all(headers);
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    transfer->response.AddLine(std::string_view(data, size * count));
    return size * count;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    const size_t bytes = size * count;
    // Error pages and redirect bodies are not the file asked for.
    if (!IsSuccessStatus(transfer->response.status)) return bytes;
    if (transfer->received + static_cast<int64_t>(bytes) > transfer->parameters->max_body_bytes) {
      transfer->too_large = true;
      return 0;  // aborts the transfer
    }
    const auto& save_info = transfer->parameters->save_info;
    if (save_info && save_info->data_callback()) {
      try {
        save_info->data_callback()(data, bytes, transfer->received, false);
      } catch (...) {
        // The caller's sink failing must not take the module's thread down.
      }
    }
    transfer->received += static_cast<int64_t>(bytes);
    return bytes;
  }

  // Prepares the easy handle; false when libcurl refuses.
  bool Setup() {
    easy = curl_easy_init();
    if (easy == nullptr) return false;
    const DownloadUrlParameters& p = *parameters;
    const auto positive = [](int32_t value, int32_t fallback) {
      return value > 0 ? value : fallback;
    };
    bool ok = true;
    const auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
    set(curl_easy_setopt(easy, CURLOPT_URL, p.url.c_str()));
    set(curl_easy_setopt(easy, CURLOPT_PRIVATE, this));
    set(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error));
    set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
    set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(easy, CURLOPT_PROXY, ""));
    set(curl_easy_setopt(easy, CURLOPT_NOPROXY, "*"));
    set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, p.follow_redirects ? 1L : 0L));
    set(curl_easy_setopt(easy, CURLOPT_MAXREDIRS,
                         static_cast<long>(p.max_redirects > 0 ? p.max_redirects : 0)));
    set(curl_easy_setopt(
        easy, CURLOPT_CONNECTTIMEOUT_MS,
        static_cast<long>(positive(p.connect_timeout_ms, kDefaultConnectTimeoutMs))));
    set(curl_easy_setopt(
        easy, CURLOPT_TIMEOUT_MS,
        static_cast<long>(positive(p.transfer_timeout_ms, kDefaultTransferTimeoutMs))));
    set(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(p.max_body_bytes)));
    set(curl_easy_setopt(easy, CURLOPT_USERAGENT, "OrvaProxy-oNet/1"));
    set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader));
    set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, this));
    set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody));
    set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, this));
    if (p.use_validators) {
      if (!p.validator_1.empty() && !HasLineBreak(p.validator_1)) {
        headers = curl_slist_append(headers, ("If-None-Match: " + p.validator_1).c_str());
      }
      if (!p.validator_2.empty() && !HasLineBreak(p.validator_2)) {
        headers = curl_slist_append(headers, ("If-Modified-Since: " + p.validator_2).c_str());
      }
      if (headers != nullptr) set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers));
    }
    return ok;
  }

  // The result code and record of a finished transfer.
  std::pair<int32_t, std::shared_ptr<DownloadResult>> Outcome(CURLcode code) const {
    auto result = std::make_shared<DownloadResult>();
    result->http_status = response.status;
    result->body_bytes = received;
    if (easy != nullptr) {
      char* effective = nullptr;
      if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
          effective != nullptr) {
        result->effective_url = effective;
      }
    }
    int32_t result_code = kResultFailed;
    if (code == CURLE_OK) {
      if (IsSuccessStatus(response.status)) {
        result_code = kResultOk;
        result->validator_1 = response.etag;
        result->validator_2 = response.last_modified;
      } else if (response.status == 304) {
        result_code = kResultNotModified;
      } else {
        result_code = kResultHttpError;
        result->error = "HTTP status " + std::to_string(response.status);
      }
      return {result_code, result};
    }
    switch (code) {
      case CURLE_WRITE_ERROR:
      case CURLE_FILESIZE_EXCEEDED:
        result_code =
            too_large || code == CURLE_FILESIZE_EXCEEDED ? kResultBodyTooLarge : kResultFailed;
        break;
      case CURLE_UNSUPPORTED_PROTOCOL:
        result_code = kResultUnsupportedScheme;
        break;
      case CURLE_OPERATION_TIMEDOUT:
        result_code = kResultTimedOut;
        break;
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_CONNECT:
        result_code = kResultConnectFailed;
        break;
      case CURLE_TOO_MANY_REDIRECTS:
        result_code = kResultTooManyRedirects;
        break;
      default:
        break;
    }
    result->error = error[0] != '\0' ? std::string(error) : std::string(curl_easy_strerror(code));
    if (result_code == kResultBodyTooLarge) {
      result->error = "body larger than " + std::to_string(parameters->max_body_bytes) + " bytes";
    }
    return {result_code, result};
  }
};

namespace {

// Tells the observer, outside every lock of the client; the transfer (and
// with it the client's references) goes right after.
void Complete(const RequestId& id, RepeatingCallBack& observer, int32_t code,
              std::shared_ptr<DownloadResult> result) {
  observer.set_result(std::move(result));
  try {
    observer.OnComplete(id, code);
  } catch (...) {
    // An observer must not take the module's thread down.
  }
}

void CompleteWithoutTransfer(const RequestId& id, RepeatingCallBack& observer, int32_t code,
                             std::string error) {
  auto result = std::make_shared<DownloadResult>();
  result->error = std::move(error);
  Complete(id, observer, code, std::move(result));
}

}  // namespace

CurlFileXferClient::CurlFileXferClient() {
  InitCurlOnce();
  multi_ = curl_multi_init();
  if (multi_ == nullptr) return;
  ready_ = true;
  thread_ = std::thread([this] { Run(); });
}

CurlFileXferClient::~CurlFileXferClient() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  ready_ = false;
  Wake();
  if (thread_.joinable()) thread_.join();
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

int32_t CurlFileXferClient::IsNetworkReady() {
  return ready_ ? 1 : 0;
}

bool CurlFileXferClient::StartDownload(DownloadUrlParameters* parameters,
                                       RepeatingCallBack* observer, RequestId* requestId) {
  if (parameters == nullptr || observer == nullptr || requestId == nullptr) return false;
  if (parameters->url.empty() || parameters->method != "GET" || !ready_) return false;
  auto transfer = std::make_unique<Transfer>();
  transfer->parameters = ScopedRef<DownloadUrlParameters>(parameters);
  transfer->observer = ScopedRef<RepeatingCallBack>(observer);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    const std::string number = std::to_string(next_id_++);
    transfer->id = u"xfer-" + RequestId(number.begin(), number.end());
    *requestId = transfer->id;
    starts_.push_back(std::move(transfer));
  }
  Wake();
  return true;
}

void CurlFileXferClient::CancelDownload(const RequestId& requestId) {
  if (requestId.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancels_.push_back(requestId);
  }
  Wake();
}

void CurlFileXferClient::Wake() {
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

void CurlFileXferClient::Run() {
  auto* multi = static_cast<CURLM*>(multi_);
  std::map<RequestId, std::unique_ptr<Transfer>> active;
  const auto finish = [multi](Transfer& transfer, int32_t code,
                              std::shared_ptr<DownloadResult> result) {
    if (transfer.easy != nullptr) curl_multi_remove_handle(multi, transfer.easy);
    Complete(transfer.id, *transfer.observer, code, std::move(result));
  };
  for (;;) {
    std::vector<std::unique_ptr<Transfer>> starts;
    std::vector<RequestId> cancels;
    bool stopping = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      starts.swap(starts_);
      cancels.swap(cancels_);
      stopping = stopping_;
    }
    for (auto& transfer : starts) {
      if (!transfer->Setup() || curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
        CompleteWithoutTransfer(transfer->id, *transfer->observer, kResultFailed,
                                "transfer could not be set up");
        continue;
      }
      transfer->observer->OnStarted(transfer->id);
      const RequestId id = transfer->id;
      active.emplace(id, std::move(transfer));
    }
    for (const RequestId& id : cancels) {
      auto node = active.extract(id);
      if (node.empty()) continue;
      Transfer& transfer = *node.mapped();
      curl_multi_remove_handle(multi, transfer.easy);
      CompleteWithoutTransfer(id, *transfer.observer, kResultCancelled, "cancelled");
    }
    if (stopping) {
      for (auto& [id, transfer] : active) {
        curl_multi_remove_handle(multi, transfer->easy);
        CompleteWithoutTransfer(id, *transfer->observer, kResultShutdown, "module stopped");
      }
      active.clear();
      return;
    }
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode code = message->data.result;
      Transfer* transfer = nullptr;
      curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
      if (transfer == nullptr) continue;
      auto node = active.extract(transfer->id);
      if (node.empty()) continue;
      auto [result_code, result] = node.mapped()->Outcome(code);
      finish(*node.mapped(), result_code, std::move(result));
    }
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
}

}  // namespace oXfer
