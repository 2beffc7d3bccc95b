// The Linux implementation of the proxy resolution service (WinHttpApi):
// what the system component does on Windows, done here with the process's
// own means.
//
// A request runs on one of the service's threads (at most `threads`; a
// thread idle for `idle_thread_timeout` ends, so an idle service holds
// none), in steps:
//  1. Auto-detection (kAutoProxyAutoDetect): the process-wide WPAD discovery
//     (GetWpadDiscovery, DHCP then DNS as the flags ask; its DNS lookup is
//     bounded to about a second). Detection runs once per network: its
//     result, "nothing found" included, is kept for kDetectionLifetime or
//     until the network changes (NoteNetworkChangeForSystemProxyService),
//     whichever comes first, and requests arriving while it runs wait for
//     that one detection. A detected URL is used first; without one the
//     configured URL (kAutoProxyConfigUrl) is used; with neither the request
//     ends with kErrorAutoDetectionFailed. When the detected script cannot be
//     fetched the configured URL is tried next.
//  2. The script is fetched (DownloadScript: never through a proxy, http and
//     https only, body capped) and kept per URL (KeptScripts, kScriptLifetime
//     by default, revalidated after); requests for a script being fetched
//     share that download. A failed fetch is remembered per URL for
//     kFailedScriptLifetime, so a burst against a dead server costs one
//     attempt. Failure: kErrorUnableToDownloadScript; time-out:
//     kErrorTimeout.
//  3. The injected evaluator runs the script for the URL. A script that
//     does not load, throws, or returns no text: kErrorBadAutoProxyScript.
//  4. The entries become the resolver handle's result, and the status
//     callback hears kStatusGetProxyForUrlComplete with code 0.
//
// No backlog: at most `max_pending` requests are accepted and not yet
// answered; GetProxyForUrlEx on a full service answers
// kErrorUnableToDownloadScript at once (no callback), as if the script could
// not be fetched. A request's time-outs (the sum of the four, when the
// receive time-out is set) also bound its stay: a request still queued at
// its deadline ends with kErrorTimeout, and one waiting for another
// request's download leaves it at its deadline.
//
// Cancellation: closing a resolver handle cancels its request. A queued
// request is taken out of the queue and answered at once (on a service
// thread); a running one stops at its next step (after detection, download
// or evaluation; a download only it still waits for is stopped within about
// a second). Either ends with kStatusRequestError (kErrorOperationCancelled).
//
// The service's threads call the status callbacks (never the caller's
// thread). Destroying the service stops its threads: requests still queued
// or running end with kStatusRequestError (kErrorOperationCancelled), so
// every accepted request still gets its one callback.
//
// Thread: every operation may be called from any thread. The evaluator is
// called from the service's threads, possibly several at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/winhttp/ov_script_download.h"
#include "platform/winhttp/ov_winhttp_api.h"

namespace ovplatform {

struct PacEvaluation {
  bool ok = false;                        // false: the script did not load or failed
  std::vector<ProxyResultEntry> entries;  // built from the script's answer
  std::string detail;                     // the answer, or why it failed, for logs
};

// Runs `script` for `url` and turns its answer into entries.
using PacEvaluator =
    std::function<PacEvaluation(const std::string& script, const std::string& url)>;

// How long a downloaded script is used before it is revalidated.
inline constexpr std::chrono::seconds kScriptLifetime{60};
// How long a failed download of a URL is answered without a new attempt.
// Requests that arrive while an attempt runs share it; this only has to
// cover the rest of a burst after it failed, and a server that comes back
// is used within a second.
inline constexpr std::chrono::milliseconds kFailedScriptLifetime{500};
// How long a detection result is kept on one network: browsers look again
// after a few minutes too, and a network change drops it sooner.
inline constexpr std::chrono::minutes kDetectionLifetime{5};
inline constexpr std::size_t kMaxScriptBytes = 1024 * 1024;
// Accepted and not yet answered requests; each holds its URL and handle
// only, and the bound keeps a dead server from building a backlog.
inline constexpr std::size_t kMaxPendingRequests = 128;

struct LinuxWinHttpOptions {
  PacEvaluator evaluator;  // without one every evaluation fails
  std::chrono::milliseconds script_lifetime = kScriptLifetime;
  std::chrono::milliseconds failed_script_lifetime = kFailedScriptLifetime;
  std::chrono::milliseconds detection_lifetime = kDetectionLifetime;
  std::size_t max_script_bytes = kMaxScriptBytes;
  long max_redirects = 5;
  // Replaces whatever SetTimeouts asks for (tests keep time-outs short).
  std::optional<WinHttpTimeouts> timeouts_override;
  std::size_t threads = 4;
  std::size_t max_pending = kMaxPendingRequests;
  std::chrono::milliseconds idle_thread_timeout = std::chrono::seconds(10);
};

std::shared_ptr<WinHttpApi> CreateLinuxWinHttp(LinuxWinHttpOptions options);

}  // namespace ovplatform
