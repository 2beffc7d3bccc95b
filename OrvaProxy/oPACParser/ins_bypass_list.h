// Bypass entries of Internet-settings (.ins) files: the Proxy_Override list
// ("<local>;*.corp.example;10.0.0.0/8") and how a host is matched against
// it.
//
// An entry matches when:
//  - it is "<local>" (any case) and the host is a plain name (no dot), as
//    LOCAL_BYPASS_SCRIPT decides;
//  - the host matches it as a wildcard pattern, exactly as shExpMatch of the
//    PAC prelude decides (PATTERN_BYPASS_SCRIPT): "*" and "?" are
//    wildcards, other regular-expression characters keep their meaning;
//  - the host is an IPv4 address and the entry an address or
//    address/mask that covers it (klb::ipv4_match_mask).
//
// Cost and bounds: plain wildcard patterns, "<local>" and addresses are
// decided without a script. Patterns that need the regular-expression
// engine are all tested in one generated script evaluation per call, so the
// whole check of one host is bounded by one evaluation's time budget
// (js_limits.h) however many entries the list holds. A pattern that could
// end the string literal it is placed in (a double quote, a backslash, a
// control character, U+2028 or U+2029) or that is longer than
// kMaxBypassPattern is never inserted and simply does not match.
//
// Thread-safety: pure functions (evaluations are serialised by js_runner_t).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace OVProxy {

// The host is a plain name (no dot): the script answers "DIRECT".
extern const std::string LOCAL_BYPASS_SCRIPT;
// printf-style template whose single "%s" receives one pattern.
extern const std::string PATTERN_BYPASS_SCRIPT;

// Longest pattern tested (the generated script's line with the pattern stays
// within 8,192 bytes).
inline constexpr std::size_t kMaxBypassPattern = 8192 - 1024 - 98;

// Entries separated by "," (or ";" where no "," is left), trimmed, empty
// ones dropped. Linear in the text's length.
std::vector<std::string> split_bypass_list(const std::string& text);

// Whether `host` matches any entry.
bool match_bypass_list(const std::vector<std::string>& entries, const std::string& host);

// Whether `host` matches one wildcard pattern.
bool match_bypass_pattern(const std::string& host, const std::string& pattern);

}  // namespace OVProxy
