// Bypass entries of .ins files, including patterns that try to escape the
// generated script.
#include "OrvaProxy/oPACParser/ins_bypass_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace OVProxy {
namespace {

TEST(InsBypassList, GeneratedScriptsHaveTheirFixedLengths) {
  EXPECT_EQ(LOCAL_BYPASS_SCRIPT.size(), 97u);
  EXPECT_EQ(PATTERN_BYPASS_SCRIPT.size(), 98u);
}

TEST(InsBypassList, Split) {
  using List = std::vector<std::string>;
  EXPECT_EQ(split_bypass_list("<local>;*.corp.lan"), (List{"<local>", "*.corp.lan"}));
  // "," is preferred while one is left.
  EXPECT_EQ(split_bypass_list(" a , b ;c;; ,"), (List{"a", "b ;c;;"}));
  EXPECT_EQ(split_bypass_list("a;b; c "), (List{"a", "b", "c"}));
  EXPECT_EQ(split_bypass_list(""), List{});
  EXPECT_EQ(split_bypass_list(" ; , "), List{";"});
}

TEST(InsBypassList, Match) {
  const std::vector<std::string> entries = {"<local>", "*.corp.lan", "10.0.0.0/8",
                                            "192.168.1.0/255.255.255.0", "172.16.*"};
  struct Case {
    const char* host;
    bool bypassed;
  };
  const Case cases[] = {
      {"intranet", true},         {"a.corp.lan", true},    {"a.lan", false},
      {"corp.lan", false},        {"10.9.8.7", true},      {"11.0.0.1", false},
      {"192.168.1.20", true},     {"192.168.2.20", false}, {"172.16.0.1", true},
      {"www.example.com", false},
  };
  for (const Case& c : cases) EXPECT_EQ(match_bypass_list(entries, c.host), c.bypassed) << c.host;
  EXPECT_TRUE(match_bypass_list({"<LOCAL>"}, "intranet"));
  EXPECT_FALSE(match_bypass_list({"<local>"}, "a.b"));
  EXPECT_FALSE(match_bypass_list({}, "intranet"));
}

TEST(InsBypassList, PatternsCannotRunCodeOfTheirOwn) {
  // Each of these would, inserted into the script as is, make it answer
  // DIRECT for every host (or break it in other ways). None may match a host
  // it does not describe.
  const char* patterns[] = {
      "x\") || true || (\"",
      "x\\\") || true || (\"",
      "x\\",
      "*/ return \"DIRECT\"; /*",
      "x\"); return \"DIRECT\"; //",
      "x\n\") || true || (\"",
      "x\xE2\x80\xA8\") || true || (\"",
  };
  for (const char* pattern : patterns) {
    EXPECT_FALSE(match_bypass_pattern("www.example.com", pattern)) << pattern;
    EXPECT_FALSE(match_bypass_list({pattern}, "www.example.com")) << pattern;
  }
  // "*/" is an ordinary character pair inside the string.
  EXPECT_TRUE(match_bypass_pattern("a*/b", "a*/b"));
}

TEST(InsBypassList, OverlongPatternsDoNotMatch) {
  // Pattern, template and 1,024 bytes of slack must stay within 8,192.
  EXPECT_TRUE(match_bypass_pattern("a.example.com", std::string(7070, '*')));
  EXPECT_FALSE(match_bypass_pattern("a.example.com", std::string(7071, '*')));
}

}  // namespace
}  // namespace OVProxy
