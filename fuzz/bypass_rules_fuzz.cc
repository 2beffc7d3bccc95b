// Bypass lists: parsing never crashes, printing and parsing again gives the
// same rules, and matching any URL is safe.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "OrvaProxy/ovProxyConfig/ov_proxy_bypass_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using OVProxy::ovProxyBypassRules;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first line is the list, the rest a URL to match against it.
  const size_t newline = input.find('\n');
  const std::string_view list = input.substr(0, newline);
  const std::string_view url =
      newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

  ovProxyBypassRules rules;
  rules.ParseFromString(list);
  ovProxyBypassRules again;
  again.ParseFromString(rules.ToString());
  if (again != rules) std::abort();
  if (rules.Matches(url, false) == rules.Matches(url, true)) std::abort();
  // A malformed range is one of the rules as written.
  for (const std::string& rule : rules.MalformedAddressRanges()) {
    if (std::find(rules.rules().begin(), rules.rules().end(), rule) == rules.rules().end()) {
      std::abort();
    }
  }
  (void)ovProxyBypassRules::MatchesImplicitRules(url);
  return 0;
}
