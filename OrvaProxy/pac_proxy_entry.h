// PAC result strings: the text a PAC script's FindProxyForURL returns
// ("PROXY a:80; SOCKS b:1080; DIRECT"), parsed into PacProxyEntry elements
// and turned into an ovProxyInfo.
//
// Grammar read by analyze_auto_config_group: elements separated by ";" (or
// by "," once no ";" is left), each trimmed; an element is
//   "DIRECT..."                  (any case; what follows is ignored)
//   keyword blank+ host [":" port]  keyword PROXY*, SOCKS5*, SOCKS*, FTP*
//                                (any case, matched on its first 5, 6, 5, 3
//                                characters in that order)
//   host ":" port                (no blank: an HTTP proxy; the port is
//                                required, so a bare word such as a keyword
//                                standing alone or "INVALID" is skipped)
// host is a name or IPv4 address (letters, digits, "-", "_", ".") or a
// bracketed IPv6 literal "[...]" (hex digits, ":" and ".", kept with its
// brackets), split by ONet::SplitHostPort and trimmed; any other host
// (blanks, "%", control or non-ASCII bytes) makes the element malformed.
// port follows ONet::ParsePort (1-65535, digits only, so "65616" or "80abc"
// make the element malformed). With a keyword and without a port the kind's
// default is used (PROXY 80, SOCKS and SOCKS5 1080, FTP 21). Malformed
// elements and unknown keywords are skipped; repeated elements (same kind,
// port and byte-equal host) are kept once. (An answer that is not ASCII
// never gets here: the engine fails such an evaluation.)
//
// Only the first kMaxPacAnswerLength bytes of an answer are read, up to the
// last separator within them, so no element is read cut short; a longer
// answer is no script's honest reply, and parsing stays linear and bounded.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tavbiz/ov_proxy_info.h"

namespace OVProxy {

enum class PacProxyKind : int32_t {
  DIRECT = 0,
  PROXY = 2,
  FTP = 4,
  SOCKS = 5,
  SOCKS5 = 6,
};

struct PacProxyEntry {
  PacProxyKind kind = PacProxyKind::DIRECT;
  std::string host;
  uint16_t port = 0;

  bool operator==(const PacProxyEntry&) const = default;
};

// parse_proxy_entry answers.
inline constexpr int32_t kPacEntryOk = 0;
inline constexpr int32_t kPacEntryMalformed = 2;
inline constexpr int32_t kPacEntryUnknownKeyword = 508;

inline constexpr std::size_t kMaxPacAnswerLength = 64 * 1024;

// Parses one element. On success `element` is reduced to the host.
int32_t parse_proxy_entry(std::string& element, PacProxyKind& kind, uint16_t& port);

// Appends the elements of `text` to `entries`; always answers 0.
int32_t analyze_auto_config_group(const std::string& text, std::vector<PacProxyEntry>& entries);

// A list without a proxy (empty, or only DIRECT and FTP entries) makes
// `info` DIRECT (UseDirect), so "go direct" reads the same on every road.
// Otherwise the entries are appended in their order: PROXY as an "HTTP"
// server, SOCKS as "SOCKS4", SOCKS5 as "SOCKS5", and a DIRECT that comes
// before a proxy as a DIRECT server in its place ("DIRECT; PROXY p:81" tries
// the direct connection first). FTP entries, and DIRECT entries after the
// last proxy, add nothing (the resolve task ends every successful answer
// with DIRECT).
void fill_proxy_info(const std::vector<PacProxyEntry>& entries, ovProxyInfo& info);

}  // namespace OVProxy
