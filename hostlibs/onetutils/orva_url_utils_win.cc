// The URL utility on Windows, where the client carries no libcurl: a strict
// reader of absolute "scheme://[user@]host[:port][/path][?query][#fragment]"
// URLs giving the same parts, in the same normal form, as the Linux build's
// libcurl reader (lower-case scheme, "/" for an empty path, a port only when
// the URL names one).
#include <algorithm>
#include <cctype>
#include <optional>

#include "onetutils/orva_url_utils.h"

namespace ONet {
namespace {

struct UrlParts {
  std::string scheme, host, port, path, query, fragment;
};

bool IsSchemeChar(char c, bool first) {
  const auto u = static_cast<unsigned char>(c);
  if (std::isalpha(u) != 0) return true;
  return !first && (std::isdigit(u) != 0 || c == '+' || c == '-' || c == '.');
}

bool IsHostChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u != 0x7f && c != '/' && c != '\\' && c != '?' && c != '#' && c != '@' &&
         c != '[' && c != ']' && c != '<' && c != '>' && c != '"' && c != '^' && c != '`' &&
         c != '{' && c != '}' && c != '|' && c != ':';
}

// An empty or numeric port of at most 65535; leading zeros are dropped.
std::optional<std::string> NormalPort(std::string_view text) {
  if (text.empty()) return std::string();
  if (text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return std::nullopt;
  }
  const long value = std::stol(std::string(text));
  if (value > 65535) return std::nullopt;
  return std::to_string(value);
}

std::optional<UrlParts> Parse(std::string_view url) {
  UrlParts parts;
  const size_t colon = url.find("://");
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  for (size_t i = 0; i < colon; ++i) {
    if (!IsSchemeChar(url[i], i == 0)) return std::nullopt;
    parts.scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(url[i])));
  }
  std::string_view rest = url.substr(colon + 3);
  const size_t authority_end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authority_end);
  rest = authority_end == std::string_view::npos ? std::string_view() : rest.substr(authority_end);
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);  // user information never leaves this reader
  }

  std::string_view port_text;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos || close < 3) return std::nullopt;
    const std::string_view literal = authority.substr(1, close - 1);
    if (!std::all_of(literal.begin(), literal.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
        })) {
      return std::nullopt;
    }
    parts.host = std::string(authority.substr(0, close + 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port_text = after.substr(1);
    }
  } else {
    const size_t port_at = authority.find(':');
    const std::string_view host = authority.substr(0, port_at);
    if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostChar)) return std::nullopt;
    parts.host = std::string(host);
    if (port_at != std::string_view::npos) port_text = authority.substr(port_at + 1);
  }
  std::optional<std::string> port = NormalPort(port_text);
  if (!port) return std::nullopt;
  parts.port = std::move(*port);

  const size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    parts.fragment = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  const size_t question = rest.find('?');
  if (question != std::string_view::npos) {
    parts.query = std::string(rest.substr(question + 1));
    rest = rest.substr(0, question);
  }
  parts.path = rest.empty() ? "/" : std::string(rest);
  if (std::any_of(parts.path.begin(), parts.path.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; })) {
    return std::nullopt;
  }
  return parts;
}

class PortableUrlUtils final : public IOrvaUrlUtils {
 public:
  std::string GetLogForm(const std::string& url) override {
    const std::optional<UrlParts> parts = Parse(url);
    if (!parts) return "*****";
    std::string out = parts->scheme + "://" + parts->host;
    if (!parts->port.empty()) out += ":" + parts->port;
    if (parts->path != "/" || !parts->query.empty() || !parts->fragment.empty()) out += "/*****";
    return out;
  }

  int ParseUrl(const std::string& url, std::string& scheme, std::string& host, std::string& port,
               std::string& path) override {
    std::optional<UrlParts> parts = Parse(url);
    if (!parts) return 0;
    scheme = std::move(parts->scheme);
    host = std::move(parts->host);
    port = std::move(parts->port);
    path = std::move(parts->path);
    if (!parts->query.empty()) path += "?" + parts->query;
    if (!parts->fragment.empty()) path += "#" + parts->fragment;
    return 1;
  }
};

}  // namespace

IOrvaUrlUtils& SystemOrvaUrlUtils() {
  static PortableUrlUtils utils;
  return utils;
}

}  // namespace ONet
