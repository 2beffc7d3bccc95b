#include "platform/winhttp/ov_kept_scripts.h"

#include <algorithm>

#include "tavlib/tav_clock.h"

namespace ovplatform {
namespace {

int64_t Micros(std::chrono::milliseconds duration) {
  return std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
}

bool IsSet(const std::atomic<bool>* flag) {
  return flag != nullptr && flag->load(std::memory_order_acquire);
}

}  // namespace

bool KeptScripts::Abandoned(const Entry& entry) {
  std::lock_guard lock(mutex_);
  return !entry.interested.empty() &&
         std::all_of(entry.interested.begin(), entry.interested.end(),
                     [](const std::atomic<bool>* f) { return IsSet(f); });
}

void KeptScripts::Leave(Entry& entry, const std::atomic<bool>* cancelled) {
  const auto it = std::find(entry.interested.begin(), entry.interested.end(), cancelled);
  if (it != entry.interested.end()) entry.interested.erase(it);
}

void KeptScripts::WakeWaiters() {
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}

KeptScripts::Answer KeptScripts::Get(const std::string& url, const Fetch& fetch,
                                     const Caller& caller) {
  std::unique_lock lock(mutex_);
  Entry& entry = entries_[url];
  for (;;) {
    if (IsSet(caller.cancelled)) return Answer{ScriptDownloadOutcome::kCancelled, nullptr, false};
    if (!entry.fetching) break;

    // Wait for the running download, or until this caller gives up.
    const uint64_t flight = entry.flight;
    entry.interested.push_back(caller.cancelled);
    for (;;) {
      if (entry.flight != flight) break;
      if (IsSet(caller.cancelled)) {
        Leave(entry, caller.cancelled);
        return Answer{ScriptDownloadOutcome::kCancelled, nullptr, false};
      }
      const int64_t now = Tav::TimeTicks::Now();
      if (caller.deadline_us != 0 && now >= caller.deadline_us) {
        Leave(entry, caller.cancelled);
        return Answer{ScriptDownloadOutcome::kTimedOut, nullptr, false};
      }
      if (caller.deadline_us != 0) {
        changed_.wait_for(lock, std::chrono::microseconds(caller.deadline_us - now));
      } else {
        changed_.wait(lock);
      }
    }
    // The download this caller waited for stopped because everyone else
    // gave up: this caller has not, so it looks again (and may fetch).
    if (entry.last_answer.outcome != ScriptDownloadOutcome::kCancelled) return entry.last_answer;
  }

  const int64_t now = Tav::TimeTicks::Now();
  if (entry.network != caller.network) {
    // Kept on another network: a different server may answer there.
    entry.network = caller.network;
    entry.script.reset();
    entry.etag.clear();
    entry.last_modified.clear();
    entry.fresh_until_us = 0;
    entry.failed_until_us = 0;
  }
  if (entry.script && now < entry.fresh_until_us) {
    return Answer{ScriptDownloadOutcome::kOk, entry.script, false};
  }
  if (now < entry.failed_until_us) return Answer{entry.failure, nullptr, false};

  entry.fetching = true;
  entry.interested.assign(1, caller.cancelled);
  const std::string etag = entry.script ? entry.etag : std::string();
  const std::string last_modified = entry.script ? entry.last_modified : std::string();
  lock.unlock();
  ScriptDownloadResult result;
  try {
    result = fetch(url, etag, last_modified, [this, &entry] { return Abandoned(entry); });
  } catch (...) {
    result.outcome = ScriptDownloadOutcome::kFailed;
  }
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
    entry.fresh_until_us = Tav::TimeTicks::Now() + Micros(lifetime_);
    entry.failed_until_us = 0;
  } else if (result.outcome != ScriptDownloadOutcome::kCancelled) {
    if (answer.outcome == ScriptDownloadOutcome::kNotModified) {
      answer.outcome = ScriptDownloadOutcome::kFailed;
    }
    entry.script.reset();
    entry.etag.clear();
    entry.last_modified.clear();
    entry.fresh_until_us = 0;
    entry.failure = answer.outcome;
    entry.failed_until_us = Tav::TimeTicks::Now() + Micros(failure_lifetime_);
  }
  entry.fetching = false;
  entry.interested.clear();
  entry.last_answer = answer;
  ++entry.flight;
  changed_.notify_all();
  return answer;
}

}  // namespace ovplatform
