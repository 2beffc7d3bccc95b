// The file-transfer module's own records: what a caller hands in to start a
// download (DownloadUrlParameters with its DownloadSaveInfo), what it is told
// back (RepeatingCallBack with a DownloadResult) and the result codes.
//
// Reference counting: DownloadUrlParameters and RepeatingCallBack carry an
// embedded 32-bit count. MakeRef creates an object with the creator's
// reference; the transfer module takes references of its own while it works,
// and whoever drops the count to zero deletes the object. Objects are created
// only through MakeRef (their destructors are not public).
//
// Thread-safety: the count may be changed from any thread. The fields of a
// parameter record are written by its creator before the record is handed
// to the module and only read after that. A DownloadResult is written by the
// module before the completion and read inside it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace oXfer {

// Request ids are produced by the module; callers only pass them on.
using RequestId = std::u16string;

// Result codes of a completion. Only 0 and kResultNotModified have a meaning
// callers may rely on; the others tell a log reader what went wrong.
inline constexpr int32_t kResultOk = 0;
inline constexpr int32_t kResultFailed = 1;
inline constexpr int32_t kResultHttpError = 2;          // a final status outside 2xx and 304
inline constexpr int32_t kResultBodyTooLarge = 3;       // over max_body_bytes
inline constexpr int32_t kResultUnsupportedScheme = 4;  // not http/https, redirects included
inline constexpr int32_t kResultTimedOut = 5;
inline constexpr int32_t kResultConnectFailed = 6;  // name lookup or connection
inline constexpr int32_t kResultCancelled = 7;
inline constexpr int32_t kResultTooManyRedirects = 8;
inline constexpr int32_t kResultShutdown = 9;      // the module stopped first
inline constexpr int32_t kResultNotModified = 57;  // 304: the validators still hold

inline constexpr int64_t kDefaultMaxBodyBytes = 1024 * 1024;
inline constexpr int32_t kDefaultConnectTimeoutMs = 10'000;
inline constexpr int32_t kDefaultTransferTimeoutMs = 30'000;
inline constexpr int32_t kDefaultMaxRedirects = 5;

class RefCounted {
 public:
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void AddRef() const { count_.fetch_add(1, std::memory_order_relaxed); }
  void Release() const {
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 protected:
  RefCounted() = default;
  virtual ~RefCounted() = default;

 private:
  mutable std::atomic<int32_t> count_{0};
};

// Holds one reference; copying takes another.
template <typename T>
class ScopedRef {
 public:
  ScopedRef() = default;
  explicit ScopedRef(T* object) : object_(object) {
    if (object_) object_->AddRef();
  }
  ScopedRef(const ScopedRef& other) : ScopedRef(other.object_) {}
  ScopedRef(ScopedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ScopedRef& operator=(ScopedRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~ScopedRef() {
    if (object_) object_->Release();
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

// Creates a reference-counted object with the creator's reference.
template <typename T, typename... Args>
ScopedRef<T> MakeRef(Args&&... args) {
  return ScopedRef<T>(new T(std::forward<Args>(args)...));
}

// Where the body goes. With a data callback the body streams through it in
// chunks, in order, on the module's thread: (data, count, offset of the chunk
// in the body, false). The module never writes a file for such a request.
class DownloadSaveInfo {
 public:
  using DataCallback =
      std::function<void(const char* data, std::size_t count, int64_t offset, bool reserved)>;

  explicit DownloadSaveInfo(std::string savePath) : save_path_(std::move(savePath)) {}

  const std::string& save_path() const { return save_path_; }
  const DataCallback& data_callback() const { return data_callback_; }
  void set_data_callback(DataCallback callback) { data_callback_ = std::move(callback); }

 private:
  std::string save_path_;
  DataCallback data_callback_;
};

// The request. Everything but url keeps a sensible default.
class DownloadUrlParameters final : public RefCounted {
 public:
  std::string method = "GET";
  std::string url;
  // Validators of an earlier response: an ETag sent as If-None-Match and a
  // Last-Modified text sent as If-Modified-Since, when use_validators is set.
  std::string validator_1;
  std::string validator_2;
  bool use_validators = false;
  // Follow redirects (http and https targets only, at most max_redirects).
  bool follow_redirects = false;
  std::shared_ptr<DownloadSaveInfo> save_info;
  int64_t max_body_bytes = kDefaultMaxBodyBytes;
  int32_t connect_timeout_ms = kDefaultConnectTimeoutMs;
  int32_t transfer_timeout_ms = kDefaultTransferTimeoutMs;
  int32_t max_redirects = kDefaultMaxRedirects;

 private:
  template <typename T, typename... Args>
  friend ScopedRef<T> MakeRef(Args&&... args);
  DownloadUrlParameters(std::string url_, std::string savePath)
      : url(std::move(url_)), save_info(std::make_shared<DownloadSaveInfo>(std::move(savePath))) {}
  ~DownloadUrlParameters() override = default;
};

// What one transfer ended with.
struct DownloadResult {
  int32_t http_status = 0;  // of the final response; 0 when none came
  std::string validator_1;  // ETag of a 2xx response
  std::string validator_2;  // Last-Modified of a 2xx response
  int64_t body_bytes = 0;
  std::string effective_url;
  std::string error;  // a readable reason when the result code is not 0 or 57
};

// The transfer observer. The module calls OnStarted and OnProgress (which do
// nothing unless overridden) and then OnComplete exactly once, all on its own
// thread; result() is set before OnComplete.
class RepeatingCallBack : public RefCounted {
 public:
  virtual void OnStarted(const RequestId& /*requestId*/) {}
  virtual void OnProgress(const RequestId& /*requestId*/, int64_t /*received*/) {}
  virtual void OnComplete(const RequestId& requestId, int32_t resultCode) = 0;

  const std::shared_ptr<DownloadResult>& result() const { return result_; }
  void set_result(std::shared_ptr<DownloadResult> result) { result_ = std::move(result); }

 protected:
  ~RepeatingCallBack() override = default;

 private:
  std::shared_ptr<DownloadResult> result_;
};

}  // namespace oXfer
