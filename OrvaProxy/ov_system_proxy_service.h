// The process's own proxy resolution service for ovWinHttpAsyncResolver: on
// Linux the Linux implementation of ovplatform::WinHttpApi, created on first
// use with evaluatePacForSystemService as its evaluator, and kept until the
// process exits (its threads stand for a system component); on Windows the
// system's WinHTTP (ov_winhttp_win.h), kept likewise.
//
// Thread: callable from any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/dns/ov_script_dns.h"
#include "platform/winhttp/ov_winhttp_linux.h"

namespace OVProxy {

std::shared_ptr<ovplatform::WinHttpApi> ovSystemProxyService();

// The evaluator the service runs scripts with: the DNS-aware engine
// (js_evaluate_dns, its own engine state, so a slow lookup never holds the
// in-process engine's lock) for `url` and its host, the script's name
// lookups answered by the process's SystemScriptDns (or `dns`):
// dnsResolve, isResolvable, myIpAddress and the Ex forms answer as an
// operating system's auto-proxy service does, and FindProxyForURLEx is
// called when the script defines it. The answer's PROXY entries become
// HTTP entries, SOCKS "4 host" and SOCKS5 "5 host" SOCKS entries, DIRECT a
// direct entry (FTP entries are dropped, as the in-process resolver does).
// Fails when the script is empty, does not load, throws, returns no string
// or a string that is not ASCII, or goes over its time or heap bound (every
// lookup's wait counts in the time).
ovplatform::PacEvaluation evaluatePacForSystemService(const std::string& script,
                                                      const std::string& url);
ovplatform::PacEvaluation evaluatePacForSystemServiceWithDns(const std::string& script,
                                                             const std::string& url,
                                                             ovplatform::ScriptDns& dns);

}  // namespace OVProxy
