#include "OrvaProxy/oPACParser/ins_bypass_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_limits.h"

namespace OVProxy {
namespace {

using List = std::vector<std::string>;

TEST(InsBypassList, Split) {
  // "," is preferred while one is left.
  EXPECT_EQ(split_bypass_list(" a , b ;c;; ,"), (List{"a", "b ;c;;"}));
  EXPECT_EQ(split_bypass_list("a;b; c "), (List{"a", "b", "c"}));
  EXPECT_EQ(split_bypass_list(" ; , "), List{";"});
}

TEST(InsBypassList, Match) {
  const List entries = {"<local>",  "*.corp.lan", "10.0.0.0/8",    "192.168.1.0/255.255.255.0",
                        "172.16.*", "w?b.x.org",  "host[0-9]+.lab"};
  struct Case {
    const char* host;
    bool bypassed;
  };
  const Case cases[] = {
      {"intranet", true},     {"a.corp.lan", true}, {"corp.lan", false},        {"10.9.8.7", true},
      {"192.168.1.20", true}, {"172.16.0.1", true}, {"web.x.org", true},        {"wb.x.org", false},
      {"host42.lab", true},   {"hostx.lab", false}, {"www.example.com", false},
  };
  for (const Case& c : cases) EXPECT_EQ(match_bypass_list(entries, c.host), c.bypassed) << c.host;
  EXPECT_TRUE(match_bypass_list({"<LOCAL>"}, "intranet"));
  // An entry that is not a valid regular expression matches nothing and
  // does not stop the entries after it.
  EXPECT_TRUE(match_bypass_list({"(", "a[", "h(x|o)st"}, "host"));
}

TEST(InsBypassList, PatternsCannotRunCodeOfTheirOwn) {
  // Each of these would, inserted into the script as is, make it answer
  // DIRECT for every host (or break it in other ways).
  const char* patterns[] = {
      "x\") || true || (\"",
      "x\\",
      "*/ return \"DIRECT\"; /*",
      "x\n\") || true || (\"",
      "x\xE2\x80\xA8\") || true || (\"",
      "(\"]; patterns = ['*']; //",
  };
  for (const char* pattern : patterns) {
    EXPECT_FALSE(match_bypass_pattern("www.example.com", pattern)) << pattern;
    EXPECT_FALSE(match_bypass_list({pattern, "(x|y)"}, "www.example.com")) << pattern;
  }
  EXPECT_TRUE(match_bypass_pattern("a*/b", "a*/b"));
  EXPECT_TRUE(match_bypass_pattern("a.example.com", std::string(kMaxBypassPattern, '*')));
  EXPECT_FALSE(match_bypass_pattern("a.example.com", std::string(kMaxBypassPattern + 1, '*')));
}

TEST(InsBypassList, OneHostIsCheckedWithinOneEvaluation) {
  // 10,000 wildcard entries and 20 pathological regular expressions: the
  // wildcards need no engine at all, the expressions share one evaluation
  // and its time budget.
  const js_limits_t previous = js_set_limits({100, kJsDefaultHeapLimitBytes});
  List entries;
  for (int i = 0; i < 10'000; ++i) entries.push_back("*.site" + std::to_string(i) + ".example");
  for (int i = 0; i < 20; ++i) entries.push_back("(a+)+b" + std::to_string(i));
#if defined(_WIN32)
  // The JScript engine cannot stop its regular-expression matcher at the
  // time bound: a host it can backtrack over in moments.
  const std::string host = std::string(12, 'a') + ".example";
#else
  const std::string host = std::string(30, 'a') + ".example";
#endif
  const int64_t before = js_engine_stats().evaluations;
  EXPECT_FALSE(match_bypass_list(entries, host));
  EXPECT_EQ(js_engine_stats().evaluations - before, 1);
  EXPECT_TRUE(match_bypass_list(entries, "www.site9999.example"));
  EXPECT_EQ(js_engine_stats().evaluations - before, 1);
  js_set_limits(previous);
}

}  // namespace
}  // namespace OVProxy
