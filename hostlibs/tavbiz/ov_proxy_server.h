// ovProxyServer: one proxy a connection may try, or DIRECT.
//
// A plain value type of the business library: callers read `host`, `port`
// and `scheme` directly. Scheme strings used by the module are "HTTP",
// "HTTPS", "SOCKS4", "SOCKS5" and "DIRECT"; servers read back from synced
// data may carry whatever text was stored (for example "http"), so the
// scheme predicates compare without regard to case.
//
// Text form accepted by FromString (one entry):
//   entry   = "DIRECT" | [scheme "://"] host [":" port]
//   scheme  = http | https | socks | socks4 | socks4a | socks5 | socks5h
//             (any letter case; "socks" means SOCKS5)
//   host    = name | IPv4 literal | "[" IPv6 literal "]"
//   port    = 1..65535 in decimal; when absent the scheme's default port
//             (HTTP 80, HTTPS 443, SOCKS 1080) is used.
// A bare IPv6 literal without brackets is taken as a host without port and
// stored with brackets. Anything else is rejected.
//
// Thread-safety: none; a value is used by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tavbiz/tavbiz_export.h"

namespace OVProxy {

class TAVBIZ_EXPORT ovProxyServer {
 public:
  static constexpr const char* kSchemeHttp = "HTTP";
  static constexpr const char* kSchemeHttps = "HTTPS";
  static constexpr const char* kSchemeSocks4 = "SOCKS4";
  static constexpr const char* kSchemeSocks5 = "SOCKS5";
  static constexpr const char* kSchemeDirect = "DIRECT";

  ovProxyServer();
  ovProxyServer(std::string host, int32_t port, std::string scheme);
  ovProxyServer(const ovProxyServer&);
  ovProxyServer(ovProxyServer&&) noexcept;
  ovProxyServer& operator=(const ovProxyServer&);
  ovProxyServer& operator=(ovProxyServer&&) noexcept;
  ~ovProxyServer();

  static ovProxyServer CreateDirect();

  // Parses one entry of the grammar above; nullopt when it does not fit.
  static std::optional<ovProxyServer> FromString(std::string_view text);

  // The default port of a scheme string (0 for DIRECT and unknown schemes).
  static int32_t DefaultPortForScheme(std::string_view scheme);

  void setCredentials(std::string username, std::string password);
  bool hasCredentials() const { return !username.empty() || !password.empty(); }

  // DIRECT, or a non-empty scheme and host with a port in 0..65535 (0 meaning
  // the scheme's default).
  bool isValid() const;

  bool is_direct() const;
  bool is_http() const;
  bool is_https() const;
  bool is_socks() const;

  // "host:port" ("host" when the port is 0); DIRECT gives "DIRECT".
  std::string HostPortString() const;

  // PAC form of the entry: "PROXY h:p", "HTTPS h:p", "SOCKS4 h:p",
  // "SOCKS5 h:p" or "DIRECT". An unknown scheme is written as it is.
  std::string ToPacString() const;

  // Credentials take no part in equality: two entries naming the same proxy
  // are the same route.
  bool operator==(const ovProxyServer& other) const;
  bool operator!=(const ovProxyServer& other) const { return !(*this == other); }

  std::string host;
  int32_t port = 0;
  std::string scheme;
  std::string username;
  std::string password;
};

}  // namespace OVProxy
