// Bypass entries of Internet-settings (.ins) files: the Proxy_Override list
// ("<local>;*.corp.example;10.0.0.0/8") and how a host is matched against
// it.
//
// "<local>" and wildcard patterns are decided by small generated PAC scripts
// run through js_runner_t (so a wildcard pattern means what shExpMatch makes
// of it); an address entry additionally matches a host that is an IPv4
// address through klb::ipv4_match_mask.
//
// A pattern is inserted into PATTERN_BYPASS_SCRIPT verbatim, inside a
// double-quoted string literal. A pattern that could end that literal or
// the line (a double quote, a backslash, a control character, U+2028 or
// U+2029) is never inserted and simply does not match, so no pattern can
// make the generated script do anything but test the host.
//
// Thread-safety: pure functions (evaluations are serialised by js_runner_t).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace OVProxy {

// The host is a plain name (no dot): the script answers "DIRECT".
extern const std::string LOCAL_BYPASS_SCRIPT;
// printf-style template whose single "%s" receives one pattern.
extern const std::string PATTERN_BYPASS_SCRIPT;

// Entries separated by "," (or ";" where no "," is left), trimmed, empty
// ones dropped.
std::vector<std::string> split_bypass_list(const std::string& text);

// Whether `host` matches any entry.
bool match_bypass_list(const std::vector<std::string>& entries, const std::string& host);

// Whether `host` matches one wildcard pattern.
bool match_bypass_pattern(const std::string& host, const std::string& pattern);

}  // namespace OVProxy
