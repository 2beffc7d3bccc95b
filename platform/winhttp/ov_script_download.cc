#include "platform/winhttp/ov_script_download.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>

namespace ovplatform {
namespace {

using Clock = std::chrono::steady_clock;

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Transfer {
  const ScriptDownloadRequest* request = nullptr;
  ScriptDownloadResult* result = nullptr;
  bool over_cap = false;
  bool stalled = false;
  bool cancelled = false;
  curl_off_t last_received = -1;
  Clock::time_point last_activity = Clock::now();
  bool first_wait = true;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  std::string& body = transfer->result->body;
  if (body.size() + bytes > transfer->request->max_bytes) {
    transfer->over_cap = true;
    return 0;  // makes curl stop with a write error
  }
  body.append(data, bytes);
  return bytes;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  const std::string_view line(data, bytes);
  // A new response (after a redirect) starts over: only the last one counts.
  if (StartsWithNoCase(line, "HTTP/")) {
    transfer->result->etag.clear();
    transfer->result->last_modified.clear();
  } else if (StartsWithNoCase(line, "etag:")) {
    transfer->result->etag = Trim(line.substr(5));
  } else if (StartsWithNoCase(line, "last-modified:")) {
    transfer->result->last_modified = Trim(line.substr(14));
  }
  return bytes;
}

// Stall and cancellation checks: curl calls this frequently while it waits.
int OnProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<Transfer*>(user);
  const ScriptDownloadRequest& request = *transfer->request;
  if (request.cancelled && request.cancelled()) {
    transfer->cancelled = true;
    return 1;
  }
  const Clock::time_point now = Clock::now();
  if (received != transfer->last_received) {
    if (received > 0) transfer->first_wait = false;
    transfer->last_received = received;
    transfer->last_activity = now;
    return 0;
  }
  const WinHttpTimeouts& t = request.timeouts;
  if (t.receive_ms < 1) return 0;
  int64_t allowed = t.receive_ms;
  if (transfer->first_wait) {
    // The first wait also covers connecting and sending the request.
    allowed += (t.send_ms > 0 ? t.send_ms : 0) + (t.connect_ms > 0 ? t.connect_ms : 0) +
               (t.resolve_ms > 0 ? t.resolve_ms : 0);
  }
  if (now - transfer->last_activity > std::chrono::milliseconds(allowed)) {
    transfer->stalled = true;
    return 1;
  }
  return 0;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

ScriptDownloadResult DownloadScript(const ScriptDownloadRequest& request) {
  GlobalInit();
  ScriptDownloadResult result;
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    result.detail = "no transfer handle";
    return result;
  }
  Transfer transfer{.request = &request, .result = &result};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  // Never through a proxy, whatever the environment says.
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, request.max_redirects);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_bytes));

  const WinHttpTimeouts& t = request.timeouts;
  if (t.connect_ms > 0) {
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(t.connect_ms) + (t.resolve_ms > 0 ? t.resolve_ms : 0));
  }
  if (t.resolve_ms > 0 && t.connect_ms > 0 && t.send_ms > 0 && t.receive_ms > 0) {
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(t.resolve_ms) + t.connect_ms + t.send_ms + t.receive_ms);
  }
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  const auto add_header = [&headers](const std::string& line) {
    curl_slist* appended = curl_slist_append(headers.get(), line.c_str());
    if (appended) {
      (void)headers.release();
      headers.reset(appended);
    }
  };
  if (!request.etag.empty()) add_header("If-None-Match: " + request.etag);
  if (!request.last_modified.empty()) add_header("If-Modified-Since: " + request.last_modified);
  if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

  const CURLcode code = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);

  if (code == CURLE_OK && status == 200) {
    result.outcome = ScriptDownloadOutcome::kOk;
    return result;
  }
  result.body.clear();
  if (code == CURLE_OK && status == 304 &&
      (!request.etag.empty() || !request.last_modified.empty())) {
    result.outcome = ScriptDownloadOutcome::kNotModified;
    return result;
  }
  if (code == CURLE_OK) {
    result.detail = "HTTP " + std::to_string(status);
  } else if (transfer.cancelled) {
    result.outcome = ScriptDownloadOutcome::kCancelled;
    result.detail = "cancelled";
  } else if (transfer.stalled || code == CURLE_OPERATION_TIMEDOUT) {
    result.outcome = ScriptDownloadOutcome::kTimedOut;
    result.detail = transfer.stalled ? "no data within the receive time-out" : "timed out";
  } else if (transfer.over_cap || code == CURLE_FILESIZE_EXCEEDED) {
    result.detail = "body over " + std::to_string(request.max_bytes) + " bytes";
  } else {
    result.detail = curl_easy_strerror(code);
  }
  return result;
}

}  // namespace ovplatform
