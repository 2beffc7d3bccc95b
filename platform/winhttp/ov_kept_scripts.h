// KeptScripts: downloaded auto-proxy scripts kept per URL, so that a burst
// of requests downloads a script once.
//
// A script is fresh for `lifetime` after it was downloaded (or revalidated);
// the next request after that revalidates it with a conditional request and
// keeps it for another lifetime when the server answers "not modified". A
// failed download or revalidation keeps nothing: the failure is answered to
// the requests that waited for that download, and the next request tries
// again. While one download of a URL runs, other requests for that URL wait
// for it instead of starting their own.
//
// Time is read from Tav::TimeTicks (tests drive it by hand).
// Thread: Get may be called from any thread; it blocks while a download of
// its URL runs. Lifetime: callers keep the object alive while they call Get.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/winhttp/ov_script_download.h"

namespace ovplatform {

class KeptScripts {
 public:
  // Downloads `url`, conditionally when `etag` or `last_modified` is set.
  using Fetch = std::function<ScriptDownloadResult(const std::string& url, const std::string& etag,
                                                   const std::string& last_modified)>;

  struct Answer {
    ScriptDownloadOutcome outcome = ScriptDownloadOutcome::kFailed;  // kOk, kFailed, kTimedOut...
    std::shared_ptr<const std::string> script;                       // set when kOk
    bool downloaded = false;  // this call (or the one it waited for) fetched
  };

  explicit KeptScripts(std::chrono::milliseconds lifetime) : lifetime_(lifetime) {}

  Answer Get(const std::string& url, const Fetch& fetch);

 private:
  struct Entry {
    std::shared_ptr<const std::string> script;
    std::string etag;
    std::string last_modified;
    int64_t fresh_until_us = 0;
    bool fetching = false;
    uint64_t flight = 0;  // counts finished downloads
    Answer last_answer;   // of the last finished download
  };

  const std::chrono::milliseconds lifetime_;
  std::mutex mutex_;
  std::condition_variable flight_done_;
  std::map<std::string, Entry> entries_;
};

}  // namespace ovplatform
