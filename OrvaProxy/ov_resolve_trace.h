// ovResolveTrace: the road one request took through the module, written at
// the points where the road is decided (not guessed afterwards), for the
// people who have to find out why a URL got the answer it got.
//
// A host that wants the roads installs an ovResolveTraceObserver on the
// provider (ovProxyResolveServiceProvider::setTraceObserver). Each request
// then carries a record: its steps in the order they happened, each a kind
// and named values. The last step is always the answer as the caller
// received it (DIRECT appended, the code, the time since the request).
// Only scheme, host and port of a URL enter a record; never user
// information, path or query (the PAC URL likewise).
//
// Step kinds and their values (names are stable, values are text):
//   config      kind (direct, manual, pac, auto-detect), source (the
//               settings back end, the Firefox prefs.js path, "shared by
//               another process", or the host's manager), waited (yes/no)
//   host-cache  key
//   bypass      rule (as written; "<local>" or "(implicit)" for the rules
//               that need no entry, "(inverted list)" when none matched an
//               inverted list)
//   resolver    name, why
//   pac         url, origin (dhcp, dns, configuration), download (fresh,
//               not modified, kept copy, failed, in progress, none), age_ms
//   pk-half     answered (system, in-process), other (cancelled, failed,
//               not started, failed too, answered without DNS, too slow),
//               waited
//               (yes/no: the answer came after the other half's)
//   evaluation  ms, raw (the script's answer before parsing), dns
//               ("unanswered" when the script asked DNS, which the
//               in-process engine does not answer), or status on failure
//   failed      resolver, code: the resolver's own failure
//   fallback    code: the local resolver answered for a failed resolver
//   timeout     ms: the request ran past its time-out
//   answer      answer (PAC form), code, elapsed_ms
//
// The observer also hears, through onResolveChange, every change the
// service acts on, with its cause: a settings change, a network change, a
// new PAC script.
//
// Thread: the observer is called on the resolve runner
// ("proxy_resolve_runner_name"), never inside a caller's callback; it must
// not block. Records are filled on that runner and, for the evaluation
// step, on the executors' runners (under the record's own lock).
// Lifetime: the provider holds the observer (shared) until it is replaced or
// removed; a call already running may finish after setTraceObserver(null)
// returned. Cost when absent: one null test per decision point and one
// relaxed atomic load in the resolvers; no record is made.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_error_code.h"
#include "OrvaProxy/ov_export.h"

namespace OVProxy {

enum class ovTraceStepKind : int32_t {
  Config,
  HostCache,
  Bypass,
  Resolver,
  Pac,
  PkHalf,
  Evaluation,
  Failed,
  Fallback,
  Timeout,
  Answer,
};

// "config", "host-cache", ... as listed above.
OV_PROXY_EXPORT const char* ovTraceStepKindName(ovTraceStepKind kind);

using ovTraceFields = std::vector<std::pair<std::string, std::string>>;

struct ovTraceStep {
  ovTraceStepKind kind = ovTraceStepKind::Answer;
  ovTraceFields fields;
  // The value named `name`; empty when the step has none.
  std::string get(std::string_view name) const;
};

struct ovResolveTrace {
  std::string request_id;
  std::string url;  // scheme://host[:port]
  std::vector<ovTraceStep> steps;
  // The first step of `kind`; null when the road had none.
  const ovTraceStep* find(ovTraceStepKind kind) const;
};

enum class ovChangeCause : int32_t { Settings = 0, Network = 1, PacScript = 2 };
// "settings change", "network change", "new PAC script".
OV_PROXY_EXPORT const char* ovChangeCauseName(ovChangeCause cause);

struct ovResolveChange {
  ovChangeCause cause = ovChangeCause::Settings;
  // The configuration in force after the change (null when none is known).
  std::shared_ptr<const ovProxyConfig> config;
  // Where it comes from, as in the config step's source.
  std::string source;
};

class ovResolveTraceObserver {
 public:
  virtual ~ovResolveTraceObserver() = default;
  // Once per request, just before its caller's callback runs.
  virtual void onResolveTraced(const ovResolveTrace& trace) = 0;
  virtual void onResolveChange(const ovResolveChange& change) { (void)change; }
};

// ---- Inside the module: filling records. ----

// "scheme://host[:port]" of `url` (lower-case scheme), "*****" when it does
// not parse: nothing else of a URL may enter a record.
std::string ovTraceUrl(const std::string& url);
// "direct", "manual", "pac", "auto-detect" (auto-detect wins over a PAC URL).
std::string ovTraceConfigKind(const ovProxyConfig& config);

// One record being filled. Steps may be added from several threads.
class ovTraceRecord {
 public:
  ovTraceRecord(std::string requestId, const std::string& url);
  void add(ovTraceStepKind kind, ovTraceFields fields);
  bool has(ovTraceStepKind kind) const;
  // A copy of what was recorded so far.
  ovResolveTrace snapshot() const;

 private:
  mutable std::mutex mutex_;
  ovResolveTrace trace_;
};

// Records reachable by a task's key, for the parts that know a request
// only by that key (the resolvers and their executors). Empty unless a
// host installed an observer; Active is then the only cost.
namespace ovTraceBook {
bool Active();
void Open(const std::string& key, std::shared_ptr<ovTraceRecord> record);
void Close(const std::string& key);
void Note(const std::string& key, ovTraceStepKind kind, ovTraceFields fields);
}  // namespace ovTraceBook

}  // namespace OVProxy
