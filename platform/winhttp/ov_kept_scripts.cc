#include "platform/winhttp/ov_kept_scripts.h"

#include "tavlib/tav_clock.h"

namespace ovplatform {

KeptScripts::Answer KeptScripts::Get(const std::string& url, const Fetch& fetch) {
  std::unique_lock lock(mutex_);
  Entry& entry = entries_[url];
  if (entry.fetching) {
    const uint64_t flight = entry.flight;
    flight_done_.wait(lock, [&] { return entry.flight != flight; });
    return entry.last_answer;
  }
  if (entry.script && Tav::TimeTicks::Now() < entry.fresh_until_us) {
    return Answer{ScriptDownloadOutcome::kOk, entry.script, false};
  }

  entry.fetching = true;
  const std::string etag = entry.script ? entry.etag : std::string();
  const std::string last_modified = entry.script ? entry.last_modified : std::string();
  lock.unlock();
  ScriptDownloadResult result = fetch(url, etag, last_modified);
  lock.lock();

  Answer answer{result.outcome, nullptr, true};
  if (result.outcome == ScriptDownloadOutcome::kOk) {
    entry.script = std::make_shared<const std::string>(std::move(result.body));
    entry.etag = std::move(result.etag);
    entry.last_modified = std::move(result.last_modified);
  }
  if (result.outcome == ScriptDownloadOutcome::kOk ||
      (result.outcome == ScriptDownloadOutcome::kNotModified && entry.script)) {
    answer = Answer{ScriptDownloadOutcome::kOk, entry.script, true};
    entry.fresh_until_us = Tav::TimeTicks::Now() +
                           std::chrono::duration_cast<std::chrono::microseconds>(lifetime_).count();
  } else {
    if (answer.outcome == ScriptDownloadOutcome::kNotModified) {
      answer.outcome = ScriptDownloadOutcome::kFailed;
    }
    entry.script.reset();
    entry.etag.clear();
    entry.last_modified.clear();
    entry.fresh_until_us = 0;
  }
  entry.fetching = false;
  entry.last_answer = answer;
  ++entry.flight;
  flight_done_.notify_all();
  return answer;
}

}  // namespace ovplatform
