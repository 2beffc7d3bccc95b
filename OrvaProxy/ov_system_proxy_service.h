// The process's own proxy resolution service for ovWinHttpAsyncResolver: on
// Linux the Linux implementation of ovplatform::WinHttpApi, created on first
// use with the module's PAC engine as its evaluator, and kept until the
// process exits (its threads stand for a system component); on Windows the
// system's WinHTTP (ov_winhttp_win.h), kept likewise.
//
// Thread: callable from any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/winhttp/ov_winhttp_linux.h"

namespace OVProxy {

std::shared_ptr<ovplatform::WinHttpApi> ovSystemProxyService();

// The evaluator the service runs scripts with: the in-process engine
// (js_runner_t) for `url` and its host; the answer's PROXY entries become
// HTTP entries, SOCKS "4 host" and SOCKS5 "5 host" SOCKS entries, DIRECT a
// direct entry (FTP entries are dropped, as the in-process resolver does).
// Fails when the script does not load, throws or returns no string.
ovplatform::PacEvaluation evaluatePacForSystemService(const std::string& script,
                                                      const std::string& url);

}  // namespace OVProxy
