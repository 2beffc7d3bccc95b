#include "OrvaProxy/ovProxyConfig/ov_proxy_bypass_rules.h"

#include <array>
#include <cstdint>
#include <optional>

#include "onetutils/onet_system_info_provider.h"
#include "onetutils/onet_text.h"
#include "onetutils/orva_url_utils.h"

namespace OVProxy {
namespace {

constexpr std::string_view kLocalRule = "<local>";
constexpr std::string_view kLocalhost = "localhost";
constexpr std::string_view kDotLocalhost = ".localhost";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The bytes an address range is written with; anything else makes a rule
// with "/" an ordinary (never matching) name rather than a broken range.
bool IsAddressByte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' ||
         c == ':' || c == '[' || c == ']' || c == '%';
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The address rule `rule` is, if any.
std::optional<ovProxyBypassRules::AddressRange> ParseAddressRule(std::string_view rule) {
  ovProxyBypassRules::AddressRange range;
  if (const std::size_t slash = rule.rfind('/'); slash != std::string_view::npos) {
    if (const auto prefix = ONet::ParseAddressPrefix(rule)) {
      range.address = prefix->address;
      range.length = prefix->length;
      return range;
    }
    const std::string_view address = rule.substr(0, slash);
    bool looks_like_range = !address.empty() && slash + 1 < rule.size();
    for (char c : address) looks_like_range = looks_like_range && IsAddressByte(c);
    if (!looks_like_range) return std::nullopt;
    range.malformed = true;
    return range;
  }
  // A single address; a wildcard or a name never parses as one.
  const auto address = ONet::ParseIPLiteralMapped(rule);
  if (!address) return std::nullopt;
  range.address = *address;
  return range;
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
  ranges_.push_back(ParseAddressRule(rule));
  return true;
}

std::vector<std::string> ovProxyBypassRules::MalformedAddressRanges() const {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < rules_.size() && i < ranges_.size(); ++i) {
    if (ranges_[i] && ranges_[i]->malformed) out.push_back(rules_[i]);
  }
  return out;
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
  ranges_.clear();
  bypass_simple_hostnames_ = false;
}

std::string ovProxyBypassRules::ExtractHostname(std::string_view url) {
  if (ONet::IOrvaUrlUtils* utils = ONet::GetOrvaUrlUtils()) {
    std::string scheme, host, port, path;
    if (utils->ParseUrl(std::string(url), scheme, host, port, path) != 0) return host;
  }
  return std::string(ONet::UrlHost(url));
}

bool ovProxyBypassRules::IsIPAddress(const std::string& host) {
  if (ONet::IONetSystemInfoProvider* provider = ONet::GetONetSystemInfoProvider()) {
    const int kind = provider->GetAddressKind(host);
    return kind == ONet::kAddressIPv4 || kind == ONet::kAddressIPv6;
  }
  return ONet::ParseIPv4Literal(host) || ONet::ParseIPv6Literal(host);
}

bool ovProxyBypassRules::IsSimpleHostname(std::string_view url) {
  const std::string host = ExtractHostname(url);
  return !host.empty() && host.find('.') == std::string::npos && !IsIPAddress(host);
}

bool ovProxyBypassRules::MatchesRule(std::string_view host, const std::string& rule) {
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
  const std::string host = ExtractHostname(url);
  if (ONet::EqualsIgnoreCase(host, kLocalhost)) return true;
  if (host.size() > kLocalhost.size() &&
      ONet::EqualsIgnoreCase(std::string_view(host).substr(host.size() - kLocalhost.size() - 1),
                             kDotLocalhost)) {
    return true;
  }
  // Address ranges apply to address literals only: a name such as
  // "169.254.example" or "127.0.0.1.example" is looked up like any other.
  if (const std::optional<uint32_t> v4 = ONet::ParseIPv4Literal(host)) {
    return (*v4 >> 24) == 127 || (*v4 >> 16) == 0xA9FE;  // 127.0.0.0/8, 169.254.0.0/16
  }
  if (const auto v6 = ONet::ParseIPv6Literal(host)) {
    static constexpr std::array<uint8_t, 16> kLoopback = {0, 0, 0, 0, 0, 0, 0, 0,
                                                          0, 0, 0, 0, 0, 0, 0, 1};
    return *v6 == kLoopback;
  }
  return false;
}

bool ovProxyBypassRules::Matches(std::string_view url, bool invert) const {
  return Matches(url, invert, nullptr);
}

bool ovProxyBypassRules::Matches(std::string_view url, bool invert, std::string* rule) const {
  bool implicit = MatchesImplicitRules(url);
  bool local = false;
  if (!implicit && bypass_simple_hostnames_ && IsSimpleHostname(url)) implicit = local = true;
  bool explicit_match = false;
  std::size_t matched = 0;
  if (!implicit && !rules_.empty()) {
    const std::string host = ExtractHostname(url);
    // Parsed once, on the first address rule: most lists hold none.
    std::optional<std::array<uint8_t, 16>> address;
    bool address_parsed = false;
    for (std::size_t i = 0; i < rules_.size() && !explicit_match; ++i) {
      matched = i;
      explicit_match = MatchesRule(host, rules_[i]);
      if (explicit_match || host.empty() || i >= ranges_.size() || !ranges_[i] ||
          ranges_[i]->malformed) {
        continue;
      }
      if (!address_parsed) {
        address = ONet::ParseIPLiteralMapped(host);
        address_parsed = true;
      }
      explicit_match =
          address && ONet::AddressInPrefix(*address, {ranges_[i]->address, ranges_[i]->length});
    }
  }
  const bool result = implicit || explicit_match;
  const bool direct = invert ? !result : result;
  if (rule != nullptr && direct) {
    if (invert) {
      *rule = "(inverted list)";
    } else if (implicit) {
      *rule = local ? "<local>" : "(implicit)";
    } else {
      *rule = rules_[matched];
    }
  }
  return direct;
}

bool ovProxyBypassRules::operator==(const ovProxyBypassRules& other) const {
  return bypass_simple_hostnames_ == other.bypass_simple_hostnames_ && rules_ == other.rules_;
}

}  // namespace OVProxy
