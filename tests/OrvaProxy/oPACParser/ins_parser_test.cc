// The .ins file parser and its bypass list; shExpMatch, native against the
// prelude's regular-expression definition; the compiled-script cache.
#include "OrvaProxy/oPACParser/ins_parser.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "OrvaProxy/oPACParser/ins_bypass_list.h"
#include "OrvaProxy/oPACParser/js_script_cache.h"
#include "OrvaProxy/oPACParser/pac_prelude.h"
#include "OrvaProxy/oPACParser/sh_exp_match.h"
#include "js_test_util.h"

namespace OVProxy {
namespace {

TEST(InsParser, ProxyStringFromTheProxySection) {
  // Each row: the file and its proxy and bypass strings.
  const std::pair<const char*, const char*> cases[] = {
      {"[Proxy]\r\nProxy_Enable=0\r\nHTTP_Proxy_Server=h:80\r\nProxy_Override=<local>\r\n", "|"},
      {"[Proxy]\r\nProxy_Enable=1\r\nUse_Same_Proxy=1\r\nHTTP_Proxy_Server=p:8080\r\n"
       "Socks_Proxy_Server=s:1080\r\n",
       "p:8080|"},
      // All four, in key order.
      {"[Proxy]\r\nSocks_Proxy_Server=k:1080\r\nFTP_Proxy_Server=f:21\r\nProxy_Enable=1\r\n"
       "Secure_Proxy_Server=s:443\r\nHTTP_Proxy_Server=h:80\r\n",
       "PROXY h:80; PROXY s:443; FTP f:21; SOCKS k:1080|"},
      // Comments, an override and other sections.
      {"# header comment\r\n[Branding]\r\nProxy_Enable=0\r\n[Proxy]\r\n# proxy comment\r\n"
       "Proxy_Enable=1 # trailing comment\r\nHTTP_Proxy_Server=h:80\r\n"
       "Proxy_Override=<local>;*.corp.lan\r\n",
       "PROXY h:80|<local>;*.corp.lan"},
      // Unix and old Mac line ends; a header without its closing bracket.
      {"[Proxy]\nProxy_Enable=1\nHTTP_Proxy_Server=h:80\nProxy_Override=a.b\n", "PROXY h:80|a.b"},
      {"[Proxy]\rProxy_Enable=true\rHTTP_Proxy_Server=h:80\r", "PROXY h:80|"},
      {"[Proxy]\r\nProxy_Enable=1\r\n[Other\r\nHTTP_Proxy_Server=h:80\r\n", "PROXY h:80|"},
  };
  for (const auto& [content, want] : cases) {
    const ins_parser_t parser(content);
    EXPECT_EQ(parser.proxy_string() + "|" + parser.bypass_string(), want) << content;
  }
}

TEST(InsParser, WhatIsReadIsBounded) {
  const std::string long_host(990, 'h');  // PROXY + host + "; PROXY s:443" = 1012
  const ins_parser_t parser("[Proxy]\r\nProxy_Enable=1\r\nHTTP_Proxy_Server=" + long_host +
                            ":80\r\nSecure_Proxy_Server=s:443\r\nFTP_Proxy_Server=" +
                            std::string(30, 'f') + ":21\r\nSocks_Proxy_Server=k:1\r\n");
  // Elements go in whole or not at all: the long FTP entry does not fit and
  // is left out, the short SOCKS one still does.
  EXPECT_EQ(parser.proxy_string(), "PROXY " + long_host + ":80; PROXY s:443; SOCKS k:1");

  // Long Use_Same_Proxy and bypass lists keep their leading whole elements.
  std::string servers;
  std::string bypass;
  for (int i = 0; i < 30'000; ++i) {
    servers += "p" + std::to_string(i) + ":80;";
    bypass += "*.h" + std::to_string(i) + ".example;";
  }
  const ins_parser_t same("[Proxy]\r\nProxy_Enable=1\r\nUse_Same_Proxy=1\r\nHTTP_Proxy_Server=" +
                          servers + "\r\nProxy_Override=" + bypass + "\r\n");
  EXPECT_LE(same.proxy_string().size(), ins_parser_t::kMaxProxyString);
  EXPECT_EQ(same.proxy_string().substr(0, 11), "p0:80;p1:80");
  EXPECT_EQ(same.proxy_string().back(), '0');  // ends with a whole ":80"
  EXPECT_LE(same.bypass_string().size(), ins_parser_t::kMaxBypassString);
  EXPECT_GT(same.bypass_string().size(), ins_parser_t::kMaxBypassString - 20);
  EXPECT_EQ(same.bypass_string().back(), 'e');

  // Text past the read limit is not parsed; 100,000 sections before it
  // parse in linear time.
  std::string sections;
  for (int i = 0; sections.size() < ins_parser_t::kMaxInsBytes - 128; ++i) {
    sections += "[S" + std::to_string(i) + "]\nk=v\n";
  }
  const std::string proxy = "[Proxy]\nProxy_Enable=1\nHTTP_Proxy_Server=h:80\n";
  const ins_parser_t inside(sections + proxy);
  EXPECT_GT(inside.key_count(), 50'000u);
  EXPECT_EQ(inside.proxy_string(), "PROXY h:80");
  const ins_parser_t beyond(sections + std::string(200, '#') + "\n" + proxy);
  EXPECT_EQ(beyond.proxy_string(), "");
}

using List = std::vector<std::string>;

TEST(InsBypassList, SplitAndMatch) {
  // "," is preferred while one is left.
  EXPECT_EQ(split_bypass_list(" a , b ;c;; ,"), (List{"a", "b ;c;;"}));
  EXPECT_EQ(split_bypass_list("a;b; c "), (List{"a", "b", "c"}));
  EXPECT_EQ(split_bypass_list(" ; , "), List{";"});
  const List entries = {"<local>",  "*.corp.lan", "10.0.0.0/8",    "192.168.1.0/255.255.255.0",
                        "172.16.*", "w?b.x.org",  "host[0-9]+.lab"};
  const std::pair<const char*, bool> cases[] = {
      {"intranet", true},     {"a.corp.lan", true}, {"corp.lan", false},        {"10.9.8.7", true},
      {"192.168.1.20", true}, {"172.16.0.1", true}, {"web.x.org", true},        {"wb.x.org", false},
      {"host42.lab", true},   {"hostx.lab", false}, {"www.example.com", false},
  };
  for (const auto& [host, bypassed] : cases)
    EXPECT_EQ(match_bypass_list(entries, host), bypassed) << host;
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
  const jstest::ScopedLimits limits({100, kJsDefaultHeapLimitBytes});
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
}

// A JavaScript string literal for any text, every byte but letters and
// digits escaped.
std::string Literal(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    out += std::isalnum(c)
               ? std::string(1, static_cast<char>(c))
               : std::string{'\\', 'x', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
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
  std::string table = "var cases = [";
  for (const auto& [str, pattern] : cases) {
    table += (table.back() == '[' ? "[" : ",\n[") + Literal(str) + ", " + Literal(pattern) + "]";
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
  // Each disagreement: the case, the definition's and the engine's answers
  // (native where the engine has a fast path), the fast path's that the .ins
  // bypass list uses without any engine ('?': undecided).
  std::string wrong;
  std::size_t decided = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& [str, pattern] = cases[i];
    const sh_exp_result_t fast = sh_exp_match_fast(str, pattern);
    decided += fast != sh_exp_result_t::undecided;
    const char regexp = out.result[2 * i];
    const char fast_answer = fast == sh_exp_result_t::undecided ? '?'
                             : fast == sh_exp_result_t::match   ? 't'
                                                                : 'f';
    if (out.result[2 * i + 1] != regexp || (fast_answer != '?' && fast_answer != regexp)) {
      wrong += Literal(str) + " " + Literal(pattern) + " " + out.result.substr(2 * i, 2) +
               fast_answer + "\n";
    }
  }
  EXPECT_EQ(wrong, "");
  EXPECT_GT(decided, cases.size() / 2);  // the fast path was exercised
  // Past its work cap the fast path leaves the answer to the engine.
  EXPECT_EQ(sh_exp_match_fast(std::string(1 << 20, 'a'), "*a*a*a*b"), sh_exp_result_t::undecided);
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
