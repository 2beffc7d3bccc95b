// ovProxyBypassRules: which URLs go without a proxy.
//
// Matching is plain string work on the URL's host: exact names, dot-bounded
// suffixes and a leading "*" wildcard. There are no ports, schemes or case
// folding in the rules: hosts are compared byte-wise.
//
// Address rules, as desktops, browsers and no_proxy write them: an IPv4 or
// IPv6 range ("10.0.0.0/8", "fd00::/8", "[fd00::]/8") or an address ("fd00::1",
// "[fd00::1]", "10.1.2.3") also matches a host that is an address literal in
// it, whichever way the literal is written (IPv4-mapped IPv6 included, a
// zone index ignored). Names are never resolved to try an address rule, and
// the string match is tried first, so such a rule still matches whatever it
// matched as text. A rule that looks like a range but is none ("1.2.3/8",
// "10.0.0.0/33") matches nothing; MalformedAddressRanges lists them so that
// the sources can say so once.
//
// Implicit rules, decided on the URL's host alone (never on other parts of
// the URL, which a page controls): "localhost" and names ending in
// ".localhost" (any case), IPv4 literals in 127.0.0.0/8 or 169.254.0.0/16,
// and the IPv6 literal ::1.
//
// Thread-safety: a value type without locks; const operations may run on
// several threads at once, changes need exclusive access.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaProxy/ov_export.h"

namespace OVProxy {

class OV_PROXY_EXPORT ovProxyBypassRules {
 public:
  static constexpr const char* kBypassListDelimiter = ";";

  ovProxyBypassRules();
  ovProxyBypassRules(const ovProxyBypassRules&);
  ovProxyBypassRules(ovProxyBypassRules&&) noexcept;
  ovProxyBypassRules& operator=(const ovProxyBypassRules&);
  ovProxyBypassRules& operator=(ovProxyBypassRules&&) noexcept;
  ~ovProxyBypassRules();

  // Replaces the contents from a list separated by ";" or ",". Spaces and
  // tabs are dropped wherever they occur; "<local>" sets
  // bypass_simple_hostnames.
  void ParseFromString(std::string_view text);
  // Adds one rule as entered (trimmed); false when nothing was added.
  bool AddRuleFromString(std::string_view rule);
  void PrependRuleToBypassSimpleHostnames();
  // "<local>" first when set, then the rules, joined by ";".
  std::string ToString() const;
  void Clear();

  // Whether `url` goes direct; `invert` negates the outcome.
  bool Matches(std::string_view url, bool invert) const;
  // The same; when it goes direct, `rule` (if not null) receives the rule
  // that decided it as written ("<local>", "(implicit)" for the rules that
  // need no entry, "(inverted list)" when an inverted list matched nothing).
  bool Matches(std::string_view url, bool invert, std::string* rule) const;
  // The implicit rules above.
  static bool MatchesImplicitRules(std::string_view url);

  const std::vector<std::string>& rules() const { return rules_; }
  // The rules written like an address range that is not one, in order.
  std::vector<std::string> MalformedAddressRanges() const;
  bool bypass_simple_hostnames() const { return bypass_simple_hostnames_; }

  // An address rule in the IPv4-mapped form: `length` leading bits.
  struct AddressRange {
    std::array<uint8_t, 16> address{};
    int length = 128;
    bool malformed = false;  // written like a range, but none: matches nothing
  };

  bool operator==(const ovProxyBypassRules& other) const;
  bool operator!=(const ovProxyBypassRules& other) const { return !(*this == other); }

 private:
  static std::string ExtractHostname(std::string_view url);
  static bool IsSimpleHostname(std::string_view url);
  static bool IsIPAddress(const std::string& host);
  static bool MatchesRule(std::string_view host, const std::string& rule);
  static bool MatchesWildcard(std::string_view host, std::string_view pattern);

  std::vector<std::string> rules_;
  // One entry for each of rules_, derived from it (so not compared).
  std::vector<std::optional<AddressRange>> ranges_;
  bool bypass_simple_hostnames_ = false;
};

}  // namespace OVProxy
