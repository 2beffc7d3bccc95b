#include "OrvaProxy/ovProxyConfig/ov_proxy_bypass_rules.h"

#include <array>

#include "onetutils/onet_system_info_provider.h"
#include "onetutils/orva_url_utils.h"

namespace OVProxy {
namespace {

constexpr std::string_view kLocalRule = "<local>";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

ovProxyBypassRules::ovProxyBypassRules() = default;
ovProxyBypassRules::ovProxyBypassRules(const ovProxyBypassRules&) = default;
ovProxyBypassRules::ovProxyBypassRules(ovProxyBypassRules&&) noexcept = default;
ovProxyBypassRules& ovProxyBypassRules::operator=(const ovProxyBypassRules&) = default;
ovProxyBypassRules& ovProxyBypassRules::operator=(ovProxyBypassRules&&) noexcept = default;
ovProxyBypassRules::~ovProxyBypassRules() = default;

void ovProxyBypassRules::ParseFromString(std::string_view text) {
  Clear();
  std::string current;
  for (char c : text) {
    if (c == ',' || c == ';') {
      if (!current.empty()) AddRuleFromString(current);
      current.clear();
    } else if (!IsBlank(c)) {
      current.push_back(c);
    }
  }
  if (!current.empty()) AddRuleFromString(current);
}

bool ovProxyBypassRules::AddRuleFromString(std::string_view rule) {
  if (rule.empty()) return false;
  if (rule == kLocalRule) {
    bypass_simple_hostnames_ = true;
    return true;
  }
  while (!rule.empty() && IsBlank(rule.front())) rule.remove_prefix(1);
  while (!rule.empty() && IsBlank(rule.back())) rule.remove_suffix(1);
  if (rule.empty()) return false;
  rules_.emplace_back(rule);
  return true;
}

void ovProxyBypassRules::PrependRuleToBypassSimpleHostnames() {
  bypass_simple_hostnames_ = true;
}

std::string ovProxyBypassRules::ToString() const {
  std::string out;
  if (bypass_simple_hostnames_) out = kLocalRule;
  for (const std::string& rule : rules_) {
    if (!out.empty()) out += kBypassListDelimiter;
    out += rule;
  }
  return out;
}

void ovProxyBypassRules::Clear() {
  rules_.clear();
  bypass_simple_hostnames_ = false;
}

std::string ovProxyBypassRules::ExtractHostname(std::string_view url) {
  if (ONet::IOrvaUrlUtils* utils = ONet::GetOrvaUrlUtils()) {
    std::string scheme, host, port, path;
    if (utils->ParseUrl(std::string(url), scheme, host, port, path) != 0) return host;
  }
  std::size_t start = url.find("://");
  start = (start == std::string_view::npos) ? 0 : start + 3;
  std::size_t end = url.find_first_of(":/?#", start);
  if (end == std::string_view::npos) end = url.size();
  return std::string(url.substr(start, end - start));
}

bool ovProxyBypassRules::IsIPAddress(const std::string& host) {
  if (ONet::IONetSystemInfoProvider* provider = ONet::GetONetSystemInfoProvider()) {
    const int kind = provider->GetAddressKind(host);
    return kind == ONet::kAddressIPv4 || kind == ONet::kAddressIPv6;
  }
  int dots = 0;
  bool digit = false;
  for (char c : host) {
    if (c == '.') {
      ++dots;
    } else if (c >= '0' && c <= '9') {
      digit = true;
    } else {
      return false;
    }
  }
  return digit && dots == 3;
}

bool ovProxyBypassRules::IsSimpleHostname(std::string_view url) {
  const std::string host = ExtractHostname(url);
  return !host.empty() && host.find('.') == std::string::npos && !IsIPAddress(host);
}

bool ovProxyBypassRules::MatchesRule(std::string_view url, const std::string& rule) {
  const std::string host = ExtractHostname(url);
  if (host.empty()) return false;
  if (rule.find('*') != std::string::npos) return MatchesWildcard(host, rule);
  if (host == rule) return true;
  if (host.size() <= rule.size()) return false;
  return EndsWith(host, rule) && host[host.size() - rule.size() - 1] == '.';
}

bool ovProxyBypassRules::MatchesWildcard(std::string_view host, std::string_view pattern) {
  if (pattern.empty()) return false;
  if (pattern.front() != '*') return host == pattern;
  const std::string_view tail = pattern.substr(1);
  return tail.empty() || EndsWith(host, tail);
}

bool ovProxyBypassRules::MatchesImplicitRules(std::string_view url) {
  static constexpr std::array<std::string_view, 3> kLocalUrlParts = {"://localhost", "://127.0.0.1",
                                                                     "://[::1]"};
  for (std::string_view part : kLocalUrlParts) {
    if (url.find(part) != std::string_view::npos) return true;
  }
  std::string host = ExtractHostname(url);
  if (host == "localhost" || host == "127.0.0.1" || host == "::1" || host == "[::1]") return true;
  // A doubly bracketed loopback ("[[::1]]") from URL utilities that bracket
  // the host again.
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']' &&
      host.substr(1, host.size() - 2) == "[::1]") {
    return true;
  }
  return host.rfind("169.254.", 0) == 0;
}

bool ovProxyBypassRules::Matches(std::string_view url, bool invert) const {
  bool implicit = MatchesImplicitRules(url);
  if (bypass_simple_hostnames_ && IsSimpleHostname(url)) implicit = true;
  bool explicit_match = false;
  for (const std::string& rule : rules_) {
    if (MatchesRule(url, rule)) {
      explicit_match = true;
      break;
    }
  }
  const bool result = implicit || explicit_match;
  return invert ? !result : result;
}

bool ovProxyBypassRules::operator==(const ovProxyBypassRules& other) const {
  return bypass_simple_hostnames_ == other.bypass_simple_hostnames_ && rules_ == other.rules_;
}

}  // namespace OVProxy
