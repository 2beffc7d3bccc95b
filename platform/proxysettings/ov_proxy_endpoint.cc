#include "platform/proxysettings/ov_proxy_endpoint.h"

#include <algorithm>
#include <cctype>

namespace ovplatform {
namespace {

constexpr std::string_view kBlank = " \t\r\n";

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// 1..65535, or 0 when the text is not such a number.
int PortValue(std::string_view text) {
  if (!AllDigits(text) || text.size() > 5) return 0;
  int port = 0;
  for (char c : text) port = port * 10 + (c - '0');
  return port <= 65535 ? port : 0;
}

// A host name (letters, digits, ".", "-", "_") or a bracketed IPv6
// literal (with an optional "%zone"), with the bytes the configuration
// record's proxy servers accept in brackets, so that no entry read from the
// settings is dropped later without a word.
bool ValidHost(std::string_view host) {
  if (host.empty()) return false;
  auto name_char = [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == '_';
  };
  if (host.front() != '[') return std::all_of(host.begin(), host.end(), name_char);
  if (host.size() < 3 || host.back() != ']') return false;
  const std::string_view inside = host.substr(1, host.size() - 2);
  return std::all_of(inside.begin(), inside.end(), [](unsigned char c) {
    return std::isalnum(c) || c == ':' || c == '.' || c == '%';
  });
}

}  // namespace

std::optional<ProxyEndpoint> ParseProxyEndpoint(std::string_view text) {
  text = Trim(text);
  std::string scheme;
  if (const size_t sep = text.find("://"); sep != std::string_view::npos) {
    scheme.assign(text.substr(0, sep));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    text = text.substr(sep + 3);
  }
  ProxyEndpoint endpoint;
  int default_port = 80;
  if (scheme == "socks4" || scheme == "socks4a") {
    endpoint.socks_key = "socks4";
    default_port = 1080;
  } else if (scheme == "socks" || scheme == "socks5" || scheme == "socks5h") {
    endpoint.socks_key = "socks5";
    default_port = 1080;
  } else if (scheme == "https") {
    default_port = 443;
  } else if (!scheme.empty() && scheme != "http") {
    return std::nullopt;
  }

  // The authority ends at a path, query or fragment; credentials end at the
  // last "@" before that.
  std::string_view authority = text.substr(0, text.find_first_of("/?#"));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority = authority.substr(at + 1);
  }
  std::string_view host;
  std::string_view port_text;
  if (const size_t blank = authority.find_first_of(" \t"); blank != std::string_view::npos) {
    host = authority.substr(0, blank);  // KDE writes "host 8080"
    port_text = Trim(authority.substr(blank));
  } else if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(0, close + 1);
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port_text = rest.substr(1);
    }
  } else if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port_text = authority.substr(colon + 1);
  } else {
    host = authority;
  }
  if (!ValidHost(host)) return std::nullopt;
  const int port = port_text.empty() ? default_port : PortValue(port_text);
  if (port == 0) return std::nullopt;
  endpoint.host_port = std::string(host) + ":" + std::to_string(port);
  return endpoint;
}

std::string NormalizeBypassEntry(std::string_view entry) {
  entry = Trim(entry);
  if (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
  if (const size_t colon = entry.rfind(':'); colon != std::string_view::npos &&
                                             entry.find(':') == colon && !entry.starts_with("[") &&
                                             AllDigits(entry.substr(colon + 1))) {
    entry = entry.substr(0, colon);
  } else if (entry.starts_with("[")) {
    if (const size_t close = entry.find("]:");
        close != std::string_view::npos && AllDigits(entry.substr(close + 2))) {
      entry = entry.substr(0, close + 1);
    }
  }
  return std::string(entry);
}

std::string NormalizeBypassList(std::string_view list) {
  std::string joined;
  while (!list.empty()) {
    const size_t end = list.find_first_of(",;");
    const std::string rule = NormalizeBypassEntry(list.substr(0, end));
    list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    if (rule.empty()) continue;
    if (!joined.empty()) joined += ';';
    joined += rule;
  }
  return joined;
}

}  // namespace ovplatform
