// Reading the WPAD URL (DHCP option 252) out of the lease files that Linux
// DHCP clients leave behind. Two shapes are understood:
//  - the block format of dhclient (also used by NetworkManager's dhclient
//    leases): `lease { interface "eth0"; option wpad "http://..."; ... }`,
//    with the option named `wpad`, `wpad-url` or `unknown-252`;
//  - the KEY=VALUE format of systemd-networkd and NetworkManager's internal
//    client, with the option under `WPAD` or `OPTION_252`.
// Option values are quoted text (with dhclient's escapes) or hex bytes, with
// or without colons between them.
//
// Thread: pure functions, callable from any thread. Input is untrusted: any
// byte sequence yields a (possibly empty) result, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ovplatform {

// Longest WPAD URL handed on: callers copy it into 1024-byte buffers that end
// with a zero byte.
inline constexpr size_t kMaxWpadUrlLength = 1023;

struct DhcpLease {
  std::string interface;  // empty when the lease does not say
  std::string wpadUrl;    // a usable http(s) URL, or empty
  // When the lease ends, in seconds since 1970-01-01 UTC; nullopt when the
  // lease does not say (or says "never").
  std::optional<int64_t> expiresAt;
};

// Every lease of a lease file, in file order (dhclient appends, so later
// leases are newer). A KEY=VALUE file is one lease.
std::vector<DhcpLease> ParseDhcpLeaseFile(std::string_view text);

// The bytes an option value stands for: quoted text with escapes decoded, or
// hex bytes ("68:74:74:70" or "68747470"). nullopt when it is neither.
std::optional<std::string> DecodeDhcpOptionValue(std::string_view value);

// The URL when `raw` is an acceptable WPAD URL after trailing zero bytes and
// white space are trimmed: http or https, a host, no control characters,
// spaces or characters a URL never carries unescaped (" < > \ ^ ` { | }), at
// most kMaxWpadUrlLength bytes. Empty otherwise.
std::string NormalizeWpadUrl(std::string_view raw);

}  // namespace ovplatform
