#include "tavbiz/ov_proxy_server.h"

#include <cctype>
#include <utility>

#include "onetutils/onet_text.h"

namespace OVProxy {
namespace {

using ONet::EqualsIgnoreCase;

// Maps a URI scheme or a PAC keyword to the scheme string of a server.
// Empty when the word names no proxy kind.
std::string SchemeFromWord(std::string_view word, bool pac_keyword) {
  if (pac_keyword && EqualsIgnoreCase(word, "PROXY")) return ovProxyServer::kSchemeHttp;
  if (!pac_keyword && EqualsIgnoreCase(word, "http")) return ovProxyServer::kSchemeHttp;
  if (EqualsIgnoreCase(word, "https")) return ovProxyServer::kSchemeHttps;
  if (EqualsIgnoreCase(word, "socks4") || EqualsIgnoreCase(word, "socks4a")) {
    return ovProxyServer::kSchemeSocks4;
  }
  if (EqualsIgnoreCase(word, "socks") || EqualsIgnoreCase(word, "socks5") ||
      EqualsIgnoreCase(word, "socks5h")) {
    return ovProxyServer::kSchemeSocks5;
  }
  return {};
}

bool IsHostNameByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// Hex digits, ':' and '.' for the address; letters and digits after '%' for
// a zone index ("fe80::1%eth0").
bool IsIpv6LiteralByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '.' || c == '%';
}

// Splits "host[:port]" into its parts. Port 0 when absent; false when the
// text is not a host with an optional valid port.
bool ParseHostPort(std::string_view text, std::string& host, int32_t& port) {
  port = 0;
  if (text.empty()) return false;
  if (text.front() != '[' && text.find(':') != text.rfind(':')) {
    // Several colons and no brackets: a bare IPv6 literal without a port.
    for (char c : text) {
      if (!IsIpv6LiteralByte(c)) return false;
    }
    host = "[" + std::string(text) + "]";
    return true;
  }
  const std::optional<ONet::HostPort> split = ONet::SplitHostPort(text);
  if (!split || split->host.empty()) return false;
  const bool bracketed = split->host.front() == '[';
  const std::string_view name =
      bracketed ? split->host.substr(1, split->host.size() - 2) : split->host;
  if (name.empty()) return false;
  for (char c : name) {
    if (!(bracketed ? IsIpv6LiteralByte(c) : IsHostNameByte(c))) return false;
  }
  if (split->has_port) {
    const std::optional<uint16_t> parsed = ONet::ParsePort(split->port);
    if (!parsed) return false;
    port = *parsed;
  }
  host = std::string(split->host);
  return true;
}

}  // namespace

ovProxyServer::ovProxyServer() = default;
ovProxyServer::ovProxyServer(std::string host_in, int32_t port_in, std::string scheme_in)
    : host(std::move(host_in)), port(port_in), scheme(std::move(scheme_in)) {}
ovProxyServer::ovProxyServer(const ovProxyServer&) = default;
ovProxyServer::ovProxyServer(ovProxyServer&&) noexcept = default;
ovProxyServer& ovProxyServer::operator=(const ovProxyServer&) = default;
ovProxyServer& ovProxyServer::operator=(ovProxyServer&&) noexcept = default;
ovProxyServer::~ovProxyServer() = default;

ovProxyServer ovProxyServer::CreateDirect() {
  return ovProxyServer(std::string(), 0, kSchemeDirect);
}

int32_t ovProxyServer::DefaultPortForScheme(std::string_view scheme_text) {
  if (EqualsIgnoreCase(scheme_text, kSchemeHttp)) return 80;
  if (EqualsIgnoreCase(scheme_text, kSchemeHttps)) return 443;
  if (EqualsIgnoreCase(scheme_text, kSchemeSocks4) ||
      EqualsIgnoreCase(scheme_text, kSchemeSocks5)) {
    return 1080;
  }
  return 0;
}

std::optional<ovProxyServer> ovProxyServer::FromString(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  if (EqualsIgnoreCase(text, kSchemeDirect)) return CreateDirect();

  std::string scheme_text = kSchemeHttp;
  std::size_t sep = text.find("://");
  std::size_t space = text.find_first_of(" \t");
  if (sep != std::string_view::npos) {
    scheme_text = SchemeFromWord(text.substr(0, sep), /*pac_keyword=*/false);
    text.remove_prefix(sep + 3);
  } else if (space != std::string_view::npos) {
    scheme_text = SchemeFromWord(text.substr(0, space), /*pac_keyword=*/true);
    text.remove_prefix(space);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  }
  if (scheme_text.empty()) return std::nullopt;

  ovProxyServer server;
  if (!ParseHostPort(text, server.host, server.port)) return std::nullopt;
  if (server.port == 0) server.port = DefaultPortForScheme(scheme_text);
  server.scheme = std::move(scheme_text);
  return server;
}

void ovProxyServer::setCredentials(std::string user, std::string pass) {
  username = std::move(user);
  password = std::move(pass);
}

bool ovProxyServer::isValid() const {
  if (is_direct()) return true;
  return !scheme.empty() && !host.empty() && port >= 0 && port <= 65535;
}

bool ovProxyServer::is_direct() const {
  return EqualsIgnoreCase(scheme, kSchemeDirect);
}
bool ovProxyServer::is_http() const {
  return EqualsIgnoreCase(scheme, kSchemeHttp);
}
bool ovProxyServer::is_https() const {
  return EqualsIgnoreCase(scheme, kSchemeHttps);
}
bool ovProxyServer::is_socks() const {
  return EqualsIgnoreCase(scheme, kSchemeSocks4) || EqualsIgnoreCase(scheme, kSchemeSocks5);
}

std::string ovProxyServer::HostPortString() const {
  if (is_direct()) return kSchemeDirect;
  if (port == 0) return host;
  return host + ":" + std::to_string(port);
}

std::string ovProxyServer::ToPacString() const {
  if (is_direct()) return kSchemeDirect;
  std::string keyword;
  if (is_http()) {
    keyword = "PROXY";
  } else if (is_https()) {
    keyword = kSchemeHttps;
  } else if (EqualsIgnoreCase(scheme, kSchemeSocks4)) {
    keyword = kSchemeSocks4;
  } else if (EqualsIgnoreCase(scheme, kSchemeSocks5)) {
    keyword = kSchemeSocks5;
  } else {
    keyword = scheme;
  }
  return keyword + " " + HostPortString();
}

bool ovProxyServer::operator==(const ovProxyServer& other) const {
  return port == other.port && host == other.host && scheme == other.scheme;
}

}  // namespace OVProxy
