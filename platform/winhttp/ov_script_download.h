// Fetches one auto-proxy script over http or https for the system-shaped
// proxy resolution service.
//
// Never through a proxy (a proxy could be what the script chooses), only
// http and https, redirects followed only to http and https and at most
// `max_redirects` times, the body capped at `max_bytes`. Time-outs: name
// resolution plus connecting bound the time to a connection; every wait for
// data is bounded by the receive time-out (the send time-out is added to the
// first wait, which also covers sending the request); the whole transfer by
// the sum of the four. A time-out below 1 is unlimited.
//
// With `etag` or `last_modified` set the request is conditional and a "304
// Not Modified" answer is kNotModified.
//
// Thread: blocks the calling thread; callable from several threads at once.
// Cancellation: `cancelled`, when given, is polled while the transfer runs
// (at least about once a second, also while no data arrives); answering true
// ends it with kCancelled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ovplatform {

struct WinHttpTimeouts {
  int32_t resolve_ms = 0;
  int32_t connect_ms = 60000;
  int32_t send_ms = 30000;
  int32_t receive_ms = 30000;
};

struct ScriptDownloadRequest {
  std::string url;
  WinHttpTimeouts timeouts;
  std::size_t max_bytes = 1024 * 1024;
  long max_redirects = 5;
  std::string etag;
  std::string last_modified;
  std::function<bool()> cancelled;
};

enum class ScriptDownloadOutcome { kOk, kNotModified, kFailed, kTimedOut, kCancelled };

struct ScriptDownloadResult {
  ScriptDownloadOutcome outcome = ScriptDownloadOutcome::kFailed;
  std::string body;
  std::string etag;
  std::string last_modified;
  std::string detail;  // why it failed, for logs ("HTTP 404", "body over 1048576 bytes", ...)
};

ScriptDownloadResult DownloadScript(const ScriptDownloadRequest& request);

}  // namespace ovplatform
