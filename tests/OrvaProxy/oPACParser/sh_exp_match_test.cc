// The native shExpMatch against the prelude's regular-expression definition
// on a generated table of strings and patterns, and the compiled-script
// cache's bounds.
#include "OrvaProxy/oPACParser/sh_exp_match.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "OrvaProxy/oPACParser/js_limits.h"
#include "OrvaProxy/oPACParser/js_runner.h"
#include "OrvaProxy/oPACParser/js_script_cache.h"
#include "OrvaProxy/oPACParser/pac_prelude.h"

namespace OVProxy {
namespace {

// A JavaScript string literal for any text.
std::string Literal(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out.append("\\").push_back(static_cast<char>(c));
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out.append(escaped);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

// The prelude's own shExpMatch, renamed, so a script can call it next to
// the native one.
std::string PreludeDefinition() {
  const std::size_t start = kPacPrelude.find("function shExpMatch(");
  const std::size_t end = kPacPrelude.find("\n}\n", start);
  std::string definition(kPacPrelude.substr(start, end + 3 - start));
  definition.replace(0, std::string("function shExpMatch").size(), "function regexpShExpMatch");
  return definition;
}

TEST(ShExpMatch, NativeAnswersAsTheRegularExpressionDefinition) {
  const std::vector<std::string> pattern_atoms = {"a", "b", ".", "*", "?", "*",       "a.", "\\",
                                                  "^", "$", "|", "+", "(", ")",       "[",  "]",
                                                  "{", "}", "/", "-", "A", "\xC3\xA9"};
  const std::vector<std::string> str_atoms = {"a", "b", ".", "ab", "A", "\n", "\xC3\xA9", "*"};
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % bound;
  };
  std::vector<std::pair<std::string, std::string>> cases;
  for (int i = 0; i < 3000; ++i) {
    std::string pattern;
    std::string str;
    const bool plain = i % 3 != 0;  // two in three patterns use only a b . * ?
    for (uint32_t n = next(6); n > 0; --n) pattern += pattern_atoms[next(plain ? 5 : 22)];
    for (uint32_t n = next(7); n > 0; --n) str += str_atoms[next(i % 5 == 0 ? 8 : 4)];
    cases.emplace_back(str, pattern);
  }
  std::size_t decided = 0;
  std::string table = "var cases = [\n";
  for (const auto& [str, pattern] : cases) {
    decided += sh_exp_match_fast(str, pattern) != sh_exp_result_t::undecided ? 1 : 0;
    table += "[" + Literal(str) + ", " + Literal(pattern) + "],\n";
  }
  table += "];\n";
  const std::string script = table + PreludeDefinition() +
                             "function outcome(f, s, p) { try { return String(f(s, p)); } catch "
                             "(e) { return 'throws'; } }\n"
                             "function FindProxyForURL(url, host) {\n"
                             "  var wrong = [];\n"
                             "  for (var i = 0; i < cases.length; i++) {\n"
                             "    var c = cases[i], fast = outcome(shExpMatch, c[0], c[1]);\n"
                             "    if (fast !== outcome(regexpShExpMatch, c[0], c[1])) "
                             "wrong.push(JSON.stringify(c) + fast);\n"
                             "  }\n"
                             "  return wrong.join('\\n');\n}\n";
  std::string mismatches = "<not run>";
  js_failure_t failure;
  // Thousands of regular-expression builds take far longer under the
  // sanitizers than the evaluation bound allows; the bound is not under test.
  const js_limits_t saved =
      js_set_limits({.time_ms = 120000, .heap_bytes = kJsDefaultHeapLimitBytes});
  const int32_t status = js_runner_t(script).run("http://x/", "x", mismatches, &failure);
  js_set_limits(saved);
  ASSERT_EQ(status, 0) << failure.message;
  EXPECT_EQ(mismatches, "");
  EXPECT_GT(decided, cases.size() / 2);  // the fast path was exercised
}

TEST(ShExpMatch, FastPathLimits) {
  struct Case {
    std::string str;
    std::string pattern;
    sh_exp_result_t want;
  };
  const Case cases[] = {
      {"corp.example", "*.corp.example", sh_exp_result_t::no_match},
      {"a\nb", "*", sh_exp_result_t::undecided},
      {"host1", "host[0-9]", sh_exp_result_t::undecided},
      {std::string(1 << 20, 'a'), "*a*a*a*b", sh_exp_result_t::undecided},  // over the work cap
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sh_exp_match_fast(c.str, c.pattern), c.want) << c.pattern;
  }
}

TEST(JsScriptCache, KeepsAFewRecentlyUsedScriptsByTheirWholeText) {
  js_script_cache_t cache;
  constexpr int64_t kMinute = 60'000'000;
  for (int i = 0; i < 6; ++i) cache.insert("script " + std::to_string(i), "code", i);
  EXPECT_EQ(cache.size(), js_script_cache_t::kCapacity);
  EXPECT_EQ(cache.find("script 0", 10), nullptr);  // least recently used went first
  ASSERT_NE(cache.find("script 2", 10), nullptr);
  cache.insert("script 6", "code", 11);
  EXPECT_NE(cache.find("script 2", 12), nullptr);  // used lately, kept
  EXPECT_EQ(cache.find("script 2 ", 12), nullptr);
  // Scripts nobody used for the idle limit are dropped.
  EXPECT_NE(cache.find("script 6", 5 * kMinute), nullptr);
  EXPECT_EQ(cache.find("script 2", 12 * kMinute), nullptr);
  EXPECT_EQ(cache.size(), 1u);
}

}  // namespace
}  // namespace OVProxy
