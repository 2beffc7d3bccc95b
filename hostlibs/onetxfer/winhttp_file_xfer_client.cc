#include "onetxfer/winhttp_file_xfer_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "onetxfer/oxfer_response_headers.h"
#include "platform/os/ov_os.h"

namespace oXfer {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kReadChunkBytes = 64 * 1024;

std::wstring Wide(std::string_view utf8) {
  return ovplatform::Utf8ToWide(std::string(utf8)).value_or(std::wstring());
}

std::string Utf8(std::wstring_view wide) {
  return ovplatform::WideToUtf8(std::wstring(wide)).value_or(std::string());
}

bool IsSuccessStatus(int status) {
  return status >= 200 && status < 300;
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != text.npos;
}

// The scheme of an absolute URL in lower case; empty for a relative one.
std::string SchemeOf(std::string_view url) {
  const std::size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  std::string scheme;
  for (std::size_t i = 0; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    const bool allowed =
        std::isalpha(c) || (i > 0 && (std::isdigit(c) || c == '+' || c == '-' || c == '.'));
    if (!allowed) return {};
    scheme.push_back(static_cast<char>(std::tolower(c)));
  }
  return scheme;
}

bool IsHttpScheme(const std::string& scheme) {
  return scheme == "http" || scheme == "https";
}

// A Location header's target, against the URL that answered with it.
std::string ResolveLocation(const std::string& base, const std::string& location) {
  if (!SchemeOf(location).empty()) return location;
  const std::size_t authority = base.find("://");
  if (authority == std::string::npos) return location;
  if (location.rfind("//", 0) == 0) return base.substr(0, authority + 1) + location;
  const std::size_t path = std::min(base.find_first_of("/?#", authority + 3), base.size());
  const std::string origin = base.substr(0, path);
  if (!location.empty() && location.front() == '/') return origin + location;
  const std::size_t path_end = std::min(base.find_first_of("?#", path), base.size());
  const std::string current = base.substr(path, path_end - path);
  const std::size_t slash = current.rfind('/');
  return origin + (slash == std::string::npos ? "/" : current.substr(0, slash + 1)) + location;
}

struct Failure {
  int32_t code = kResultFailed;
  std::string error;
};

Failure FromSystemError(DWORD error) {
  const std::string text = "WinHTTP error " + std::to_string(error);
  switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
      return {kResultTimedOut, "timed out (" + text + ")"};
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return {kResultConnectFailed, text};
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return {kResultUnsupportedScheme, text};
    default:
      return {kResultFailed, text};
  }
}

std::wstring QueryText(HINTERNET request, DWORD what) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return {};
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  text.resize(bytes / sizeof(wchar_t));
  return text;
}

void Complete(const RequestId& id, RepeatingCallBack& observer, int32_t code,
              std::shared_ptr<DownloadResult> result) {
  observer.set_result(std::move(result));
  try {
    observer.OnComplete(id, code);
  } catch (...) {
    // An observer must not take the module's thread down.
  }
}

}  // namespace

namespace winhttp_xfer {

struct Attempt;

// What WinHTTP told about one request handle.
struct Event {
  Attempt* attempt = nullptr;
  DWORD status = 0;
  DWORD value = 0;  // bytes read, or the error code
};

struct Transfer {
  RequestId id;
  ScopedRef<DownloadUrlParameters> parameters;
  ScopedRef<RepeatingCallBack> observer;
  std::string url;  // the current hop's
  int32_t redirects = 0;
  Attempt* attempt = nullptr;
  ResponseHeaders response;
  int64_t received = 0;
  Clock::time_point deadline;
};

struct Hub {
  std::mutex mutex;  // guards what follows
  std::condition_variable wake;
  std::vector<std::unique_ptr<Transfer>> starts;
  std::vector<RequestId> cancels;
  std::deque<Event> events;
  bool stopping = false;
  bool ready = false;
  // False once the thread is gone: an attempt's callback then frees the
  // attempt itself when WinHTTP reports its handle closed.
  bool serving = true;
  uint64_t next_id = 1;
};

// One request handle (one per redirect hop), WinHTTP's context for it. The
// thread owns it until it stops serving, the handle's closing callback
// after that.
struct Attempt {
  std::shared_ptr<Hub> hub;
  Transfer* transfer = nullptr;  // null once the handles were closed
  HINTERNET connect = nullptr;
  HINTERNET request = nullptr;
  std::vector<char> buffer;  // WinHttpReadData writes here until the handle closes
};

namespace {

void CALLBACK OnSystemStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                             DWORD length) {
  if (context == 0) return;
  auto* attempt = reinterpret_cast<Attempt*>(context);
  Event event{attempt, status, 0};
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      event.value = length;
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      event.value = info != nullptr && length >= sizeof(WINHTTP_ASYNC_RESULT)
                        ? static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError
                        : ERROR_WINHTTP_INTERNAL_ERROR;
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      break;
    default:
      return;
  }
  // Held across the unlock below: the attempt may be freed right after.
  const std::shared_ptr<Hub> hub = attempt->hub;
  {
    std::lock_guard<std::mutex> lock(hub->mutex);
    if (hub->serving) {
      hub->events.push_back(event);
    } else {
      if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        // WinHTTP is done with the handle and the thread is gone.
        const std::unique_ptr<Attempt> owned(attempt);
      }
      return;
    }
  }
  hub->wake.notify_all();
}

}  // namespace

// The state the client's thread keeps; touched by that thread only.
class Worker {
 public:
  Worker(std::shared_ptr<Hub> hub, HINTERNET session) : hub_(std::move(hub)), session_(session) {}

  void Run() {
    bool stopping = false;
    for (;;) {
      std::vector<std::unique_ptr<Transfer>> starts;
      std::vector<RequestId> cancels;
      std::deque<Event> events;
      {
        std::unique_lock<std::mutex> lock(hub_->mutex);
        const auto pending = [&] {
          return !hub_->starts.empty() || !hub_->cancels.empty() || !hub_->events.empty() ||
                 (hub_->stopping && !stopping);
        };
        const Clock::time_point until = NextDeadline();
        if (until == Clock::time_point::max()) {
          hub_->wake.wait(lock, pending);
        } else {
          hub_->wake.wait_until(lock, until, pending);
        }
        starts.swap(hub_->starts);
        cancels.swap(hub_->cancels);
        events.swap(hub_->events);
        stopping = hub_->stopping;
      }
      for (auto& transfer : starts) Begin(std::move(transfer));
      for (const RequestId& id : cancels) {
        if (running_.contains(id)) Finish(id, {kResultCancelled, "cancelled"});
      }
      for (const Event& event : events) Handle(event);
      ExpireDeadlines();
      if (stopping) break;
    }
    while (!running_.empty()) Finish(running_.begin()->first, {kResultShutdown, "module stopped"});
    // Handles WinHTTP still holds (a request blocked in the network, for
    // one) free their own records when they close; nothing waits for them.
    std::lock_guard<std::mutex> lock(hub_->mutex);
    for (const Event& event : hub_->events) {
      if (event.status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) attempts_.erase(event.attempt);
    }
    hub_->events.clear();
    hub_->serving = false;
    for (auto& [raw, attempt] : attempts_) (void)attempt.release();
    attempts_.clear();
  }

 private:
  Clock::time_point NextDeadline() const {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [id, transfer] : running_) next = std::min(next, transfer->deadline);
    return next;
  }

  void Begin(std::unique_ptr<Transfer> transfer) {
    const DownloadUrlParameters& p = *transfer->parameters;
    const int32_t timeout =
        p.transfer_timeout_ms > 0 ? p.transfer_timeout_ms : kDefaultTransferTimeoutMs;
    transfer->deadline = Clock::now() + std::chrono::milliseconds(timeout);
    transfer->url = p.url;
    const RequestId id = transfer->id;
    Transfer& t = *transfer;
    running_.emplace(id, std::move(transfer));
    if (const std::optional<Failure> failure = Open(t)) {
      Finish(id, *failure);
      return;
    }
    t.observer->OnStarted(id);
  }

  // Opens the request for the transfer's current URL and sends it.
  std::optional<Failure> Open(Transfer& t) {
    const DownloadUrlParameters& p = *t.parameters;
    const std::string scheme = SchemeOf(t.url);
    if (!IsHttpScheme(scheme)) {
      return Failure{kResultUnsupportedScheme, "not an http or https URL"};
    }
    std::wstring url = Wide(t.url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength =
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
      return Failure{kResultFailed, "malformed URL"};
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    object = object.substr(0, object.find(L'#'));  // a fragment is the client's own
    if (object.empty() || object.front() != L'/') object.insert(0, L"/");

    auto attempt = std::make_unique<Attempt>();
    attempt->hub = hub_;
    attempt->connect = WinHttpConnect(session_, host.c_str(), parts.nPort, 0);
    if (attempt->connect == nullptr) return FromSystemError(GetLastError());
    attempt->request = WinHttpOpenRequest(attempt->connect, L"GET", object.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          scheme == "https" ? WINHTTP_FLAG_SECURE : 0);
    if (attempt->request == nullptr) {
      const DWORD error = GetLastError();
      WinHttpCloseHandle(attempt->connect);
      return FromSystemError(error);
    }
    // From here the request handle carries the record, which lives until
    // WinHTTP reports the handle closed.
    Attempt* raw = attempt.get();
    attempts_.emplace(raw, std::move(attempt));
    raw->transfer = &t;
    t.attempt = raw;
    t.response = ResponseHeaders{};
    auto context = reinterpret_cast<DWORD_PTR>(raw);
    WinHttpSetOption(raw->request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context));
    // Redirects are followed here, so that each target is checked.
    DWORD disable = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(raw->request, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof(disable));
    const int connect_ms =
        p.connect_timeout_ms > 0 ? p.connect_timeout_ms : kDefaultConnectTimeoutMs;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.deadline - Clock::now());
    const int left_ms = static_cast<int>(std::clamp<int64_t>(left.count(), 1, INT_MAX));
    WinHttpSetTimeouts(raw->request, connect_ms, connect_ms, left_ms, left_ms);

    std::wstring headers;
    if (p.use_validators) {
      if (!p.validator_1.empty() && !HasLineBreak(p.validator_1)) {
        headers += L"If-None-Match: " + Wide(p.validator_1) + L"\r\n";
      }
      if (!p.validator_2.empty() && !HasLineBreak(p.validator_2)) {
        headers += L"If-Modified-Since: " + Wide(p.validator_2) + L"\r\n";
      }
    }
    if (!WinHttpSendRequest(
            raw->request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
            headers.empty() ? 0 : static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0, context)) {
      return FromSystemError(GetLastError());
    }
    return std::nullopt;
  }

  static void Close(Attempt* attempt) {
    if (attempt == nullptr) return;
    attempt->transfer = nullptr;
    WinHttpCloseHandle(attempt->request);
    WinHttpCloseHandle(attempt->connect);
  }

  void Handle(const Event& event) {
    const auto it = attempts_.find(event.attempt);
    if (it == attempts_.end()) return;
    Attempt& attempt = *it->second;
    if (event.status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
      attempts_.erase(it);
      return;
    }
    Transfer* t = attempt.transfer;
    if (t == nullptr) return;  // the transfer already ended or moved on
    switch (event.status) {
      case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        if (!WinHttpReceiveResponse(attempt.request, nullptr)) {
          Finish(t->id, FromSystemError(GetLastError()));
        }
        break;
      case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        OnHeaders(*t);
        break;
      case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        OnBody(*t, event.value);
        break;
      case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        Finish(t->id, FromSystemError(event.value));
        break;
      default:
        break;
    }
  }

  void OnHeaders(Transfer& t) {
    HINTERNET request = t.attempt->request;
    const std::string raw = Utf8(QueryText(request, WINHTTP_QUERY_RAW_HEADERS_CRLF));
    for (std::size_t start = 0; start < raw.size();) {
      const std::size_t end = std::min(raw.find('\n', start), raw.size());
      t.response.AddLine(std::string_view(raw).substr(start, end - start));
      start = end + 1;
    }
    const DownloadUrlParameters& p = *t.parameters;
    const int status = t.response.status;
    if (IsRedirect(status) && p.follow_redirects) {
      const std::string location = Utf8(QueryText(request, WINHTTP_QUERY_LOCATION));
      if (!location.empty()) {
        FollowRedirect(t, location);
        return;
      }
    }
    if (status == 304) {
      Finish(t.id, {kResultNotModified, ""});
      return;
    }
    if (!IsSuccessStatus(status)) {
      Finish(t.id, {kResultHttpError, "HTTP status " + std::to_string(status)});
      return;
    }
    const std::string length = Utf8(QueryText(request, WINHTTP_QUERY_CONTENT_LENGTH));
    if (!length.empty() && std::strtoll(length.c_str(), nullptr, 10) > p.max_body_bytes) {
      Finish(t.id, TooLarge(t));
      return;
    }
    Read(t);
  }

  void FollowRedirect(Transfer& t, const std::string& location) {
    const int32_t limit = std::max<int32_t>(t.parameters->max_redirects, 0);
    if (t.redirects >= limit) {
      Finish(t.id, {kResultTooManyRedirects, "more than " + std::to_string(limit) + " redirects"});
      return;
    }
    const std::string next = ResolveLocation(t.url, location);
    if (!IsHttpScheme(SchemeOf(next))) {
      Finish(t.id, {kResultUnsupportedScheme, "redirect to a scheme other than http or https"});
      return;
    }
    ++t.redirects;
    Close(t.attempt);
    t.attempt = nullptr;
    t.url = next;
    if (const std::optional<Failure> failure = Open(t)) Finish(t.id, *failure);
  }

  Failure TooLarge(const Transfer& t) const {
    return {kResultBodyTooLarge,
            "body larger than " + std::to_string(t.parameters->max_body_bytes) + " bytes"};
  }

  void Read(Transfer& t) {
    Attempt& attempt = *t.attempt;
    attempt.buffer.resize(kReadChunkBytes);
    if (!WinHttpReadData(attempt.request, attempt.buffer.data(), kReadChunkBytes, nullptr)) {
      Finish(t.id, FromSystemError(GetLastError()));
    }
  }

  void OnBody(Transfer& t, uint32_t bytes) {
    if (bytes == 0) {
      Finish(t.id, {kResultOk, ""});
      return;
    }
    if (t.received + static_cast<int64_t>(bytes) > t.parameters->max_body_bytes) {
      Finish(t.id, TooLarge(t));
      return;
    }
    const auto& save_info = t.parameters->save_info;
    if (save_info && save_info->data_callback()) {
      try {
        save_info->data_callback()(t.attempt->buffer.data(), bytes, t.received, false);
      } catch (...) {
        // The caller's sink failing must not take the module's thread down.
      }
    }
    t.received += bytes;
    Read(t);
  }

  void ExpireDeadlines() {
    const Clock::time_point now = Clock::now();
    std::vector<RequestId> expired;
    for (const auto& [id, transfer] : running_) {
      if (transfer->deadline <= now) expired.push_back(id);
    }
    for (const RequestId& id : expired) {
      Finish(id, {kResultTimedOut, "the transfer took longer than its time-out"});
    }
  }

  // Ends the transfer: its handles are closed and its observer told, once.
  void Finish(const RequestId& id, const Failure& outcome) {
    auto node = running_.extract(id);
    if (node.empty()) return;
    Transfer& t = *node.mapped();
    Close(t.attempt);
    t.attempt = nullptr;
    auto result = std::make_shared<DownloadResult>();
    result->http_status = t.response.status;
    result->body_bytes = t.received;
    result->effective_url = t.url;
    result->error = outcome.error;
    if (outcome.code == kResultOk) {
      result->validator_1 = t.response.etag;
      result->validator_2 = t.response.last_modified;
    }
    Complete(t.id, *t.observer, outcome.code, std::move(result));
  }

  const std::shared_ptr<Hub> hub_;
  const HINTERNET session_;
  std::map<RequestId, std::unique_ptr<Transfer>> running_;
  std::map<Attempt*, std::unique_ptr<Attempt>> attempts_;
};

}  // namespace winhttp_xfer

WinHttpFileXferClient::WinHttpFileXferClient() : hub_(std::make_shared<winhttp_xfer::Hub>()) {
  session_ = WinHttpOpen(L"OrvaProxy-oNet/1", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                         WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  if (session_ == nullptr) return;
  if (WinHttpSetStatusCallback(
          session_, &winhttp_xfer::OnSystemStatus,
          WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
          0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    WinHttpCloseHandle(session_);
    session_ = nullptr;
    return;
  }
  hub_->ready = true;
  thread_ =
      std::thread([hub = hub_, session = session_] { winhttp_xfer::Worker(hub, session).Run(); });
}

WinHttpFileXferClient::~WinHttpFileXferClient() {
  {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->stopping = true;
    hub_->ready = false;
  }
  hub_->wake.notify_all();
  if (thread_.joinable()) thread_.join();
  if (session_ != nullptr) WinHttpCloseHandle(session_);
}

int32_t WinHttpFileXferClient::IsNetworkReady() {
  std::lock_guard<std::mutex> lock(hub_->mutex);
  return hub_->ready ? 1 : 0;
}

bool WinHttpFileXferClient::StartDownload(DownloadUrlParameters* parameters,
                                          RepeatingCallBack* observer, RequestId* requestId) {
  if (parameters == nullptr || observer == nullptr || requestId == nullptr) return false;
  if (parameters->url.empty() || parameters->method != "GET") return false;
  auto transfer = std::make_unique<winhttp_xfer::Transfer>();
  transfer->parameters = ScopedRef<DownloadUrlParameters>(parameters);
  transfer->observer = ScopedRef<RepeatingCallBack>(observer);
  {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    if (hub_->stopping || !hub_->ready) return false;
    const std::string number = std::to_string(hub_->next_id++);
    transfer->id = u"xfer-" + RequestId(number.begin(), number.end());
    *requestId = transfer->id;
    hub_->starts.push_back(std::move(transfer));
  }
  hub_->wake.notify_all();
  return true;
}

void WinHttpFileXferClient::CancelDownload(const RequestId& requestId) {
  if (requestId.empty()) return;
  {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->cancels.push_back(requestId);
  }
  hub_->wake.notify_all();
}

}  // namespace oXfer
