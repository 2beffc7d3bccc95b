// The network utilities' text rules: how a URL splits into its parts, how a
// "host[:port]" text splits, what a port is, what an address literal is, and
// how a separated list splits. Each rule is written here once, side by side,
// and every reader of such text in the module and the business library calls
// the rule it means.
//
// URL grammar read by SplitUrl (the generic syntax, not a validator):
//   url       = [scheme "://"] authority [path] ["?" query] ["#" fragment]
//   authority = [userinfo "@"] host [":" port]   (userinfo ends at the LAST
//               "@"; the authority ends at the first "/", "?" or "#")
//   host      = "[" IPv6 literal "]" (brackets kept) | text without ":"
//   scheme    = a letter, then letters, digits, "+", "-" or "."
// Text without such a scheme before its first "://" is read as an
// authority from its first byte.
//
// Thread-safety: pure functions, callable from any thread. They never throw
// (short of memory exhaustion), and each runs in time linear in its input.
// Views returned point into the argument and live as long as it does.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace ONet {

struct UrlParts {
  std::string_view scheme;     // before "://"; empty without one
  std::string_view authority;  // userinfo, host and port as written
  std::string_view userinfo;   // before the last "@" of the authority
  std::string_view host_port;  // the authority without userinfo
  std::string_view host;       // brackets of an IPv6 literal kept
  std::string_view port;       // the text after the host's ":", unchecked
  std::string_view path;       // from the first "/" after the authority
  std::string_view query;      // after "?", without it
  std::string_view fragment;   // after "#", without it
  bool has_scheme = false;
  bool has_userinfo = false;
  bool has_port = false;
  bool has_query = false;
  bool has_fragment = false;
};

UrlParts SplitUrl(std::string_view url);

// The host of `url` as written: what bypass rules compare ("[::1]" keeps its
// brackets). Empty when the authority is not a host with an optional port.
std::string_view UrlHost(std::string_view url);

// The host of `url` without the brackets of an IPv6 literal ("::1"): the
// name or address a connection is made to, as a PAC script's host argument.
std::string_view UrlHostWithoutBrackets(std::string_view url);

struct HostPort {
  std::string_view host;  // brackets of an IPv6 literal kept
  std::string_view port;  // unchecked; empty when has_port is false
  bool has_port = false;
};

// Splits "host", "host:port", "[v6]" or "[v6]:port" at the first ":" after
// the host. Nothing is trimmed. nullopt for an unclosed or empty "[...]" or
// text after "]" other than ":port". An empty host is returned as such: callers that
// need one check it.
std::optional<HostPort> SplitHostPort(std::string_view text);

// A port: decimal digits only, 1 to 65535 (leading zeros allowed; the limit
// is checked on the running value, so no length overflows). nullopt for an
// empty text, any other byte (blanks included), 0 or a larger number.
std::optional<uint16_t> ParsePort(std::string_view text);

// An IPv4 literal in the canonical dotted quad ("127.0.0.1"; not "127.1",
// not "0127.0.0.1"), as a number with the first group in the top byte.
std::optional<uint32_t> ParseIPv4Literal(std::string_view host);

// An IPv6 literal with or without brackets; a zone index ("%eth0") is
// allowed and ignored.
std::optional<std::array<uint8_t, 16>> ParseIPv6Literal(std::string_view host);

// An address literal in one form for both families: an IPv4 literal becomes
// its IPv4-mapped IPv6 address (::ffff:a.b.c.d), so that an IPv4 host and
// the same host written as a mapped IPv6 literal compare equal.
std::optional<std::array<uint8_t, 16>> ParseIPLiteralMapped(std::string_view host);

// An address range in the mapped form above: `length` leading bits of
// `address` (an IPv4 range a.b.c.d/n has length 96 + n).
struct AddressPrefix {
  std::array<uint8_t, 16> address{};
  int length = 128;
};

// "a.b.c.d/n" (n 0..32), or an IPv6 literal, bare or in brackets, followed by
// "/n" (n 0..128). Bits past the prefix length are ignored, as the network
// part of "10.1.2.3/8" is 10.0.0.0. nullopt for anything else.
std::optional<AddressPrefix> ParseAddressPrefix(std::string_view text);

// Whether `address` (mapped form) lies in `prefix`.
bool AddressInPrefix(const std::array<uint8_t, 16>& address, const AddressPrefix& prefix);

// Splits `text` at any byte of `separators`, trims spaces and tabs from each
// piece and drops empty pieces.
std::vector<std::string_view> SplitList(std::string_view text, std::string_view separators);

// ASCII letters compared without regard to case; other bytes exactly.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace ONet
