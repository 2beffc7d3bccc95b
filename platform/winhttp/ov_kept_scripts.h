// KeptScripts: downloaded auto-proxy scripts kept per URL, so that a burst
// of requests downloads a script once, and failed downloads remembered, so
// that a burst against a dead server costs one attempt.
//
// A script is fresh for `lifetime` after it was downloaded (or revalidated);
// the next request after that revalidates it with a conditional request and
// keeps it for another lifetime when the server answers "not modified". A
// failed download or revalidation (a failure, a time-out, a "not modified"
// with no copy kept) drops the kept copy and is remembered for
// `failure_lifetime`: requests for that URL meanwhile get the same failure
// without a new attempt. A cancelled download is not remembered.
//
// While one download of a URL runs, other requests for that URL wait for it
// instead of starting their own. A waiting caller leaves early, without the
// download's answer, when its own cancel flag is set (kCancelled; the
// canceller calls WakeWaiters) or its deadline passes (kTimedOut). The
// download itself is told to stop (the `abandoned` probe handed to the
// fetch answers true) once every caller interested in it was cancelled; a
// download that others still wait for runs on for them.
//
// Everything kept belongs to one network: a caller on another network (see
// Caller::network) finds neither script nor failure of an earlier network,
// since the same URL ("http://wpad/wpad.dat") names another server there.
//
// Time is read from Tav::TimeTicks (tests drive it by hand).
// Thread: Get may be called from any thread; it blocks while a download of
// its URL runs. Lifetime: callers keep the object alive while they call Get.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/winhttp/ov_script_download.h"

namespace ovplatform {

class KeptScripts {
 public:
  // Downloads `url`, conditionally when `etag` or `last_modified` is set,
  // polling `abandoned` to stop early.
  using Fetch = std::function<ScriptDownloadResult(const std::string& url, const std::string& etag,
                                                   const std::string& last_modified,
                                                   const std::function<bool()>& abandoned)>;

  struct Caller {
    const std::atomic<bool>* cancelled = nullptr;  // set when the caller gave up
    int64_t deadline_us = 0;                       // Tav::TimeTicks; 0: none
    uint64_t network = 0;                          // WpadNetworkGeneration()
  };

  struct Answer {
    ScriptDownloadOutcome outcome = ScriptDownloadOutcome::kFailed;  // kOk, kFailed, kTimedOut...
    std::shared_ptr<const std::string> script;                       // set when kOk
    bool downloaded = false;  // this call (or the one it waited for) fetched
  };

  KeptScripts(std::chrono::milliseconds lifetime, std::chrono::milliseconds failure_lifetime)
      : lifetime_(lifetime), failure_lifetime_(failure_lifetime) {}

  Answer Get(const std::string& url, const Fetch& fetch, const Caller& caller);

  // Wakes the waiting callers so that those whose cancel flag was set leave.
  void WakeWaiters();

 private:
  struct Entry {
    uint64_t network = 0;
    std::shared_ptr<const std::string> script;
    std::string etag;
    std::string last_modified;
    int64_t fresh_until_us = 0;
    ScriptDownloadOutcome failure = ScriptDownloadOutcome::kFailed;
    int64_t failed_until_us = 0;  // the last failure is answered until then
    bool fetching = false;
    uint64_t flight = 0;  // counts finished downloads
    Answer last_answer;   // of the last finished download
    // The callers of the running download, the fetching one included.
    std::vector<const std::atomic<bool>*> interested;
  };

  bool Abandoned(const Entry& entry);
  static void Leave(Entry& entry, const std::atomic<bool>* cancelled);

  const std::chrono::milliseconds lifetime_;
  const std::chrono::milliseconds failure_lifetime_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Entry> entries_;
};

}  // namespace ovplatform
