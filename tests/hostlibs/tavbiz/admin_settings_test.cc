#include "tavbiz/admin_settings.h"

#include <gtest/gtest.h>

#include <string>

namespace Tav {
namespace {

using opref::PolicyValue;

TEST(AdminSettingsTest, ReadsEverySection) {
  const auto result = ParseAdminSettings(R"({
    "policies": {"52": true, "51": -250, "60": "caf\u00e9", "4294967295": 1},
    "featureToggles": {"A": "text", "B": true, "C": 42, "D": ""},
    "featureToggleGroups": {"grp": {"A": "in group"}},
    "experiments": {"On": true, "Off": false}
  })");
  ASSERT_TRUE(result.valid);
  const AdminSettings& s = result.settings;
  EXPECT_EQ(s.policies.at(52), PolicyValue(true));
  EXPECT_EQ(s.policies.at(51), PolicyValue(int32_t{-250}));
  EXPECT_EQ(s.policies.at(60), PolicyValue(std::wstring(L"caf\u00e9")));
  EXPECT_EQ(s.policies.at(4294967295u), PolicyValue(int32_t{1}));
  EXPECT_EQ(s.toggles.at("").at("A"), "text");
  EXPECT_EQ(s.toggles.at("").at("B"), "true");
  EXPECT_EQ(s.toggles.at("").at("C"), "42");
  EXPECT_EQ(s.toggles.at("").at("D"), "");
  EXPECT_EQ(s.toggles.at("grp").at("A"), "in group");
  EXPECT_TRUE(s.experiments.at("On"));
  EXPECT_FALSE(s.experiments.at("Off"));
}

TEST(AdminSettingsTest, DocumentsThatAreNotAJsonObjectGiveNoValues) {
  for (const char* text : {"", "   ", "[1, 2]", "\"policies\"", "{\"policies\": {\"52\": true}",
                           "{\"a\": 1} trailing", "{\"a\": 1, \"a\": 2}", "// comment only"}) {
    const auto result = ParseAdminSettings(text);
    EXPECT_FALSE(result.valid) << text;
    EXPECT_TRUE(result.settings.empty()) << text;
    ASSERT_EQ(result.problems.size(), 1u) << text;
    EXPECT_EQ(result.problems[0].find('\n'), std::string::npos) << result.problems[0];
  }
}

TEST(AdminSettingsTest, IgnoresBadEntriesAndKeepsTheRest) {
  const auto result = ParseAdminSettings(R"({
    "policies": {"0": true, "007": true, "-1": 1, "x": 1, "4294967296": 1,
                 "10": 2147483648, "11": 1.5, "12": null, "13": [true], "14": 7},
    "featureToggles": {"Ok": "yes", "Obj": {}, "Real": 0.5},
    "featureToggleGroups": {"g": "not an object"},
    "experiments": {"E": "true", "F": true},
    "unknownSection": 1
  })");
  // A section of the wrong shape is one problem; the others still count.
  const auto shape = ParseAdminSettings(R"({"policies": [], "experiments": {"E": true}})");
  EXPECT_TRUE(shape.valid && shape.settings.experiments.at("E"));
  EXPECT_EQ(shape.problems.size(), 1u);
  ASSERT_TRUE(result.valid);
  EXPECT_EQ(result.settings.policies.size(), 1u);
  EXPECT_EQ(result.settings.policies.at(14), PolicyValue(int32_t{7}));
  EXPECT_EQ(result.settings.toggles.at("").size(), 1u);
  EXPECT_EQ(result.settings.experiments.size(), 1u);
  // 9 policies, 2 toggles, 1 group, 1 experiment, 1 member.
  EXPECT_EQ(result.problems.size(), 14u);
}

TEST(AdminSettingsTest, RejectsOversizedDocuments) {
  std::string big = "{\"featureToggles\": {\"A\": \"";
  big.append(kMaxAdminSettingsBytes, 'x');
  big += "\"}}";
  const auto result = ParseAdminSettings(big);
  EXPECT_FALSE(result.valid);
  EXPECT_TRUE(result.settings.empty());
}

}  // namespace
}  // namespace Tav
