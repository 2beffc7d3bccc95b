// The native shExpMatch against the prelude's regular-expression definition
// on a generated table of strings and patterns, and the compiled-script
// cache's bounds.
#include "OrvaProxy/oPACParser/sh_exp_match.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "OrvaProxy/oPACParser/js_script_cache.h"
#include "OrvaProxy/oPACParser/pac_prelude.h"
#include "js_test_util.h"

namespace OVProxy {
namespace {

// A JavaScript string literal for any text, every byte but letters and
// digits escaped.
std::string Literal(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(escaped);
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
  // No comma after the last row: some engines read "[a, b,]" as three
  // elements.
  std::string table = "var cases = [\n";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    table += std::string(i == 0 ? "" : ",\n") + "[" + Literal(cases[i].first) + ", " +
             Literal(cases[i].second) + "]";
  }
  // Two letters a case: the regular-expression definition's answer and the
  // engine's shExpMatch's, 't', 'f' or 'x' (throws).
  const std::string script = table + "];\n" + PreludeDefinition() +
                             "function outcome(f, s, p) { try { return String(f(s, p)).charAt(0); }"
                             " catch (e) { return 'x'; } }\n" +
                             jstest::Entry(
                                 "var out = [];"
                                 " for (var i = 0; i < cases.length; i++) {"
                                 " var c = cases[i];"
                                 " out.push(outcome(regexpShExpMatch, c[0], c[1]) +"
                                 " outcome(shExpMatch, c[0], c[1])); }"
                                 " return out.join('');");
  // Thousands of regular-expression builds take far longer under the
  // sanitizers than the evaluation bound allows; the bound is not under test.
  const jstest::ScopedLimits limits({120000, kJsDefaultHeapLimitBytes});
  const jstest::Outcome out = jstest::Evaluate(script);
  ASSERT_EQ(out.status, 0) << out.failure.message;
  ASSERT_EQ(out.result.size(), 2 * cases.size());
  std::size_t decided = 0;
  int wrong = 0;
  for (std::size_t i = 0; i < cases.size() && wrong < 10; ++i) {
    const char regexp = out.result[2 * i];
    const char engine = out.result[2 * i + 1];  // native where the engine has a fast path
    const auto& [str, pattern] = cases[i];
    wrong += engine != regexp;
    EXPECT_EQ(engine, regexp) << "engine on " << Literal(str) << " " << Literal(pattern);
    // The fast path the .ins bypass list uses without any engine.
    const sh_exp_result_t fast = sh_exp_match_fast(str, pattern);
    if (fast == sh_exp_result_t::undecided) continue;
    ++decided;
    const char fast_answer = fast == sh_exp_result_t::match ? 't' : 'f';
    wrong += fast_answer != regexp;
    EXPECT_EQ(fast_answer, regexp) << "fast path on " << Literal(str) << " " << Literal(pattern);
  }
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
