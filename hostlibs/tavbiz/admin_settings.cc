#include "tavbiz/admin_settings.h"

#include <json/json.h>

#include <charconv>
#include <memory>
#include <optional>

#include "tavlib/tav_string_conv.h"

namespace Tav {
namespace {

constexpr const char* kPolicies = "policies";
constexpr const char* kToggles = "featureToggles";
constexpr const char* kToggleGroups = "featureToggleGroups";
constexpr const char* kExperiments = "experiments";

bool IsInteger32(const Json::Value& value) {
  return (value.type() == Json::intValue || value.type() == Json::uintValue) && value.isInt();
}

// Decimal 1..4294967295 with nothing around it.
std::optional<opref::oPolicyId> ParsePolicyId(const std::string& text) {
  if (text.empty() || text[0] < '1' || text[0] > '9') return std::nullopt;
  opref::oPolicyId id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return id;
}

std::optional<std::string> ToggleText(const Json::Value& value) {
  if (value.isString()) return value.asString();
  if (value.isBool()) return std::string(value.asBool() ? "true" : "false");
  if (value.type() == Json::intValue) return std::to_string(value.asInt64());
  if (value.type() == Json::uintValue) return std::to_string(value.asUInt64());
  return std::nullopt;
}

// jsoncpp's messages span lines ("* Line 1, Column 2\n  Syntax error..."); a
// log line wants them on one.
std::string OneLine(const std::string& text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = !out.empty();
      continue;
    }
    if (c == '*' && out.empty()) continue;
    if (space) out.push_back(' ');
    space = false;
    out.push_back(c);
  }
  return out;
}

class Parser {
 public:
  explicit Parser(AdminSettingsParseResult& result) : result_(result) {}

  void Root(const Json::Value& root) {
    for (const std::string& key : root.getMemberNames()) {
      const Json::Value& member = root[key];
      if (key == kPolicies) {
        Policies(member);
      } else if (key == kToggles) {
        Toggles(member, "", kToggles);
      } else if (key == kToggleGroups) {
        ToggleGroups(member);
      } else if (key == kExperiments) {
        Experiments(member);
      } else {
        Problem("unknown member \"" + key + "\"");
      }
    }
  }

 private:
  bool RequireObject(const Json::Value& value, const std::string& where) {
    if (value.isObject()) return true;
    Problem("\"" + where + "\" is not an object");
    return false;
  }

  void Policies(const Json::Value& policies) {
    if (!RequireObject(policies, kPolicies)) return;
    for (const std::string& key : policies.getMemberNames()) {
      const Json::Value& value = policies[key];
      const auto id = ParsePolicyId(key);
      if (!id) {
        Problem("policy id \"" + key + "\" is not a number from 1 to 4294967295");
        continue;
      }
      if (value.isBool()) {
        result_.settings.policies[*id] = value.asBool();
      } else if (IsInteger32(value)) {
        result_.settings.policies[*id] = static_cast<int32_t>(value.asInt());
      } else if (value.isString()) {
        result_.settings.policies[*id] = UTF8ToWide(value.asString());
      } else {
        Problem("policy " + key + " is not a boolean, a 32-bit integer or a string");
      }
    }
  }

  void Toggles(const Json::Value& toggles, const std::string& group, const std::string& where) {
    if (!RequireObject(toggles, where)) return;
    for (const std::string& name : toggles.getMemberNames()) {
      if (auto text = ToggleText(toggles[name])) {
        result_.settings.toggles[group][name] = std::move(*text);
      } else {
        Problem("toggle \"" + name + "\" in \"" + where +
                "\" is not a string, a boolean or an integer");
      }
    }
  }

  void ToggleGroups(const Json::Value& groups) {
    if (!RequireObject(groups, kToggleGroups)) return;
    for (const std::string& group : groups.getMemberNames()) {
      Toggles(groups[group], group, std::string(kToggleGroups) + "." + group);
    }
  }

  void Experiments(const Json::Value& experiments) {
    if (!RequireObject(experiments, kExperiments)) return;
    for (const std::string& name : experiments.getMemberNames()) {
      const Json::Value& value = experiments[name];
      if (value.isBool()) {
        result_.settings.experiments[name] = value.asBool();
      } else {
        Problem("experiment \"" + name + "\" is not a boolean");
      }
    }
  }

  void Problem(std::string text) { result_.problems.push_back(std::move(text)); }

  AdminSettingsParseResult& result_;
};

}  // namespace

AdminSettingsParseResult ParseAdminSettings(std::string_view json) {
  AdminSettingsParseResult result;
  if (json.size() > kMaxAdminSettingsBytes) {
    result.problems.push_back("larger than " + std::to_string(kMaxAdminSettingsBytes) + " bytes");
    return result;
  }
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["rejectDupKeys"] = true;
  builder["failIfExtra"] = true;
  builder["strictRoot"] = true;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(json.data(), json.data() + json.size(), &root, &errors);
  } catch (const std::exception& e) {
    errors = e.what();
  }
  if (!parsed) {
    result.problems.push_back("not valid JSON: " + OneLine(errors));
    return result;
  }
  if (!root.isObject()) {
    result.problems.push_back("the document is not a JSON object");
    return result;
  }
  result.valid = true;
  Parser(result).Root(root);
  return result;
}

}  // namespace Tav
