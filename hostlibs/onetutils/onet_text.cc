#include "onetutils/onet_text.h"

#if defined(_WIN32)
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <string>

namespace ONet {
namespace {

// The longest address literal worth handing to the parser: an IPv6 literal
// in brackets with an IPv4 tail and a zone index fits well within it.
constexpr std::size_t kMaxAddressLiteral = 96;

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A letter, then letters, digits, "+", "-" or ".".
bool IsScheme(std::string_view text) {
  if (text.empty() || !IsAsciiLetter(text.front())) return false;
  for (char c : text) {
    if (!IsAsciiLetter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  return true;
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

UrlParts SplitUrl(std::string_view url) {
  UrlParts parts;
  std::string_view rest = url;
  if (const std::size_t scheme_end = rest.find("://");
      scheme_end != std::string_view::npos && IsScheme(rest.substr(0, scheme_end))) {
    parts.scheme = rest.substr(0, scheme_end);
    parts.has_scheme = true;
    rest.remove_prefix(scheme_end + 3);
  }
  if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
    parts.fragment = rest.substr(hash + 1);
    parts.has_fragment = true;
    rest = rest.substr(0, hash);
  }
  if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
    parts.query = rest.substr(question + 1);
    parts.has_query = true;
    rest = rest.substr(0, question);
  }
  const std::size_t slash = rest.find('/');
  parts.authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) parts.path = rest.substr(slash);

  parts.host_port = parts.authority;
  if (const std::size_t at = parts.authority.rfind('@'); at != std::string_view::npos) {
    parts.userinfo = parts.authority.substr(0, at);
    parts.has_userinfo = true;
    parts.host_port = parts.authority.substr(at + 1);
  }
  if (const std::optional<HostPort> split = SplitHostPort(parts.host_port)) {
    parts.host = split->host;
    parts.port = split->port;
    parts.has_port = split->has_port;
  }
  return parts;
}

std::string_view UrlHost(std::string_view url) {
  return SplitUrl(url).host;
}

std::string_view UrlHostWithoutBrackets(std::string_view url) {
  std::string_view host = UrlHost(url);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return host;
}

std::optional<HostPort> SplitHostPort(std::string_view text) {
  HostPort out;
  std::string_view after;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    out.host = text.substr(0, close + 1);
    after = text.substr(close + 1);
    if (!after.empty() && after.front() != ':') return std::nullopt;
  } else {
    const std::size_t colon = text.find(':');
    out.host = text.substr(0, colon);
    if (colon != std::string_view::npos) after = text.substr(colon);
  }
  if (!after.empty()) {
    out.port = after.substr(1);
    out.has_port = true;
  }
  return out;
}

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::optional<uint32_t> ParseIPv4Literal(std::string_view host) {
  if (host.empty() || host.size() > kMaxAddressLiteral) return std::nullopt;
  const std::string text(host);
  unsigned char bytes[4];
  if (inet_pton(AF_INET, text.c_str(), bytes) != 1) return std::nullopt;
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

std::optional<std::array<uint8_t, 16>> ParseIPv6Literal(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  // A zone index belongs to the literal but not to the address.
  if (const std::size_t zone = host.find('%'); zone != std::string_view::npos && zone > 0) {
    host = host.substr(0, zone);
  }
  if (host.empty() || host.size() > kMaxAddressLiteral) return std::nullopt;
  const std::string text(host);
  std::array<uint8_t, 16> bytes{};
  if (inet_pton(AF_INET6, text.c_str(), bytes.data()) != 1) return std::nullopt;
  return bytes;
}

std::optional<std::array<uint8_t, 16>> ParseIPLiteralMapped(std::string_view host) {
  if (const std::optional<uint32_t> v4 = ParseIPv4Literal(host)) {
    std::array<uint8_t, 16> mapped{};
    mapped[10] = 0xff;
    mapped[11] = 0xff;
    for (int i = 0; i < 4; ++i) mapped[12 + i] = static_cast<uint8_t>(*v4 >> (24 - 8 * i));
    return mapped;
  }
  return ParseIPv6Literal(host);
}

std::optional<AddressPrefix> ParseAddressPrefix(std::string_view text) {
  const std::size_t slash = text.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view length_text = text.substr(slash + 1);
  if (length_text.empty() || length_text.size() > 3) return std::nullopt;
  int length = 0;
  for (char c : length_text) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + (c - '0');
  }
  const std::string_view address_text = text.substr(0, slash);
  // A zone index names an interface, not a range of addresses.
  if (address_text.find('%') != std::string_view::npos) return std::nullopt;
  AddressPrefix prefix;
  if (ParseIPv4Literal(address_text)) {
    if (length > 32) return std::nullopt;
    prefix.length = 96 + length;
  } else {
    if (length > 128) return std::nullopt;
    prefix.length = length;
  }
  const auto address = ParseIPLiteralMapped(address_text);
  if (!address) return std::nullopt;
  prefix.address = *address;
  return prefix;
}

bool AddressInPrefix(const std::array<uint8_t, 16>& address, const AddressPrefix& prefix) {
  const int length = prefix.length < 0 ? 0 : (prefix.length > 128 ? 128 : prefix.length);
  const int whole = length / 8;
  for (int i = 0; i < whole; ++i) {
    if (address[i] != prefix.address[i]) return false;
  }
  if (const int bits = length % 8; bits != 0) {
    const auto mask = static_cast<uint8_t>(0xff << (8 - bits));
    if ((address[whole] & mask) != (prefix.address[whole] & mask)) return false;
  }
  return true;
}

std::vector<std::string_view> SplitList(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(separators, start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = TrimBlanks(text.substr(start, end - start));
    if (!piece.empty()) out.push_back(piece);
    start = end + 1;
  }
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace ONet
