// The host side of a PAC evaluation on Active Scripting (Windows): the
// script site the engine reports to and the host object the engine knows
// as the item "global_funcs".
//
// The site records what the engine reported during the evaluation: its
// errors (OnScriptError) and whether the evaluation was asked to stop (its
// QueryContinue answers accordingly). The host object offers scripts one
// function, alert(message), which writes the message (cut short, at most
// kJsMaxAlertsPerEvaluation lines per evaluation) to the memory log at
// information level and returns undefined (read as a value, alert is the
// host object itself, whose own call is alert again, so `typeof alert` is
// "object"); every other name is unknown to it, so a script's dns_resolve
// is undefined.
//
// Both objects are static, never freed, with fixed reference counts
// (AddRef 2, Release 1).
//
// Thread-safety: one evaluation at a time. js_site_begin, the engine's calls
// into the site and the host object and the readers run on the evaluating
// thread under the engine's lock; js_site_request_stop may come from any
// thread.
#pragma once

#include <windows.h>

#include <activscp.h>

#include <string>

namespace OVProxy {

inline constexpr wchar_t kJsHostItemName[] = L"global_funcs";

// An error the engine reported through the site.
struct js_script_error_t {
  HRESULT code = S_OK;
  // UTF-8, at most a few bytes over kJsMaxErrorMessageBytes (the caller
  // cuts it); empty when the engine gave no description.
  std::string description;
  bool has_line = false;
  ULONG line = 0;  // 0-based line of the program text (prelude first)
};

IActiveScriptSite* js_script_site();

// Starts the record of one evaluation: no error seen, all alerts allowed, no
// stop asked.
void js_site_begin();

// Errors the engine reported since js_site_begin, and the first of them
// (meaningful when the count is above 0).
int js_site_error_count();
const js_script_error_t& js_site_first_error();

// From now until the next js_site_begin, the site's QueryContinue asks the
// engine to stop the script.
void js_site_request_stop();

}  // namespace OVProxy
