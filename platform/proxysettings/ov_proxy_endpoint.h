// Turns one proxy as users write it on Linux ("http://user:pw@host:8080/",
// "socks5://[::1]:1080", "host:3128", KDE's "http://host 8080") into the
// "host:port" text of a manual proxy string, and one bypass entry as users
// write it (".example.com", "host:8080", "*.corp") into a bypass rule.
//
// Credentials, paths and queries are dropped. A missing port takes the
// scheme's usual one (80 plain or http, 443 https, 1080 SOCKS). A host must
// be a host name (letters, digits, ".", "-", "_") or a bracketed IPv6
// literal; anything else is refused, so a hostile variable cannot add
// entries to the proxy string.
//
// Thread: any; pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ovplatform {

struct ProxyEndpoint {
  // "socks4" or "socks5" for a SOCKS scheme; empty for an HTTP proxy.
  std::string socks_key;
  std::string host_port;
};

std::optional<ProxyEndpoint> ParseProxyEndpoint(std::string_view text);

// One bypass entry: trimmed, a leading "." dropped (the rule then matches
// the domain and its subdomains), a ":port" suffix dropped (rules have no
// ports). Empty when nothing is left.
std::string NormalizeBypassEntry(std::string_view entry);

// A "," or ";" separated list of entries, normalised and joined with ";".
std::string NormalizeBypassList(std::string_view list);

}  // namespace ovplatform
