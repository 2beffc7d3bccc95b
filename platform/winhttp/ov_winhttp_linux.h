// The Linux implementation of the proxy resolution service (WinHttpApi):
// what the system component does on Windows, done here with the process's
// own means.
//
// A request runs on one of the service's threads:
//  1. Auto-detection (kAutoProxyAutoDetect): the process-wide WPAD discovery
//     (GetWpadDiscovery, DHCP then DNS as the flags ask). A detected URL is
//     used first; without one the configured URL (kAutoProxyConfigUrl) is
//     used; with neither the request ends with kErrorAutoDetectionFailed.
//     When the detected script cannot be fetched the configured URL is
//     tried next.
//  2. The script is fetched (DownloadScript: never through a proxy, http and
//     https only, body capped) and kept per URL (KeptScripts, kScriptLifetime
//     by default, revalidated after). Failure: kErrorUnableToDownloadScript;
//     time-out: kErrorTimeout.
//  3. The injected evaluator runs the script for the URL. A script that
//     does not load, throws, or returns no text: kErrorBadAutoProxyScript.
//  4. The entries become the resolver handle's result, and the status
//     callback hears kStatusGetProxyForUrlComplete with code 0.
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
inline constexpr std::size_t kMaxScriptBytes = 1024 * 1024;

struct LinuxWinHttpOptions {
  PacEvaluator evaluator;  // without one every evaluation fails
  std::chrono::milliseconds script_lifetime = kScriptLifetime;
  std::size_t max_script_bytes = kMaxScriptBytes;
  long max_redirects = 5;
  // Replaces whatever SetTimeouts asks for (tests keep time-outs short).
  std::optional<WinHttpTimeouts> timeouts_override;
  std::size_t threads = 4;
};

std::shared_ptr<WinHttpApi> CreateLinuxWinHttp(LinuxWinHttpOptions options);

}  // namespace ovplatform
