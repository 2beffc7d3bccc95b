// The administrator's settings document: policy values by id, feature-toggle
// texts by name (optionally in named groups) and experiment flags by name,
// as one JSON object.
//
//   {
//     "policies":            { "52": true, "51": 250, "60": "text" },
//     "featureToggles":      { "ProxyDirectFirstFlag": "true" },
//     "featureToggleGroups": { "groupName": { "SomeToggle": "on" } },
//     "experiments":         { "SomeTest": true }
//   }
//
// Every member is optional. Policy ids are decimal 1..4294967295; a policy
// value is a boolean, an integer in the 32-bit range or a string. A toggle
// value is a string, or a boolean or integer that is kept as its text
// ("true", "42"). An experiment value is a boolean. An entry that breaks
// these rules, and an unknown member, is ignored and named in `problems`;
// the rest of the document still counts. A document that is not JSON, or
// whose root is not an object, gives no values at all.
//
// Thread-safety: pure function, callable from any thread.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tavbiz/tav_policy.h"
#include "tavbiz/tavbiz_export.h"

namespace Tav {

struct AdminSettings {
  std::map<opref::oPolicyId, opref::PolicyValue> policies;
  // Group ("" for the default group) to toggle name to text.
  std::map<std::string, std::map<std::string, std::string>> toggles;
  std::map<std::string, bool> experiments;

  bool empty() const { return policies.empty() && toggles.empty() && experiments.empty(); }
  bool operator==(const AdminSettings&) const = default;
};

struct AdminSettingsParseResult {
  AdminSettings settings;
  // False when the document as a whole was rejected.
  bool valid = false;
  // What was rejected or ignored, one short text each.
  std::vector<std::string> problems;
};

// Parses the document. Documents larger than kMaxAdminSettingsBytes are
// rejected as a whole.
inline constexpr std::size_t kMaxAdminSettingsBytes = 1024 * 1024;
TAVBIZ_EXPORT AdminSettingsParseResult ParseAdminSettings(std::string_view json);

}  // namespace Tav
