#include "OrvaProxy/oPACParser/ins_bypass_list.h"

#include <strings.h>

#include "OrvaProxy/oPACParser/js_engine.h"
#include "OrvaProxy/oPACParser/js_runner.h"
#include "OrvaProxy/oPACParser/sh_exp_match.h"
#include "klbutil/klb_ipv4.h"
#include "klbutil/klb_string.h"

namespace OVProxy {

const std::string LOCAL_BYPASS_SCRIPT =
    "function FindProxyForURL(url, host){if (isPlainHostName(host)) return \"DIRECT\"; else "
    "return \"\"; }";
const std::string PATTERN_BYPASS_SCRIPT =
    "function FindProxyForURL(url, host){if (shExpMatch(host, \"%s\")) return \"DIRECT\"; else "
    "return \"\"; }";

namespace {

bool AnswersDirect(const std::string& script, const std::string& host) {
  std::string answer;
  const int32_t status = js_runner_t(script).run("http://" + host, host, answer);
  return status == kJsOk && answer.size() >= 6 && strncasecmp(answer.c_str(), "DIRECT", 6) == 0;
}

// Whether `pattern` stays inside a double-quoted JavaScript string literal.
bool FitsInStringLiteral(std::string_view pattern) {
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const auto c = static_cast<unsigned char>(pattern[i]);
    if (c == '"' || c == '\\' || c < 0x20 || c == 0x7F) return false;
    // U+2028 and U+2029 end a line (and so a string literal) in JavaScript.
    if (c == 0xE2 && i + 2 < pattern.size() && static_cast<unsigned char>(pattern[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(pattern[i + 2]) == 0xA8 ||
         static_cast<unsigned char>(pattern[i + 2]) == 0xA9)) {
      return false;
    }
  }
  return true;
}

bool Testable(const std::string& pattern) {
  return pattern.size() <= kMaxBypassPattern && FitsInStringLiteral(pattern);
}

// One script that tests every pattern in order; a pattern that throws (not
// a valid regular expression) does not match, the others are still tested.
std::string ScriptForPatterns(const std::vector<const std::string*>& patterns) {
  std::string script = "var patterns = [";
  for (const std::string* pattern : patterns) script.append("\"").append(*pattern).append("\",\n");
  script +=
      "];\nfunction FindProxyForURL(url, host) {\n"
      "  for (var i = 0; i < patterns.length; i++) {\n"
      "    try { if (shExpMatch(host, patterns[i])) return \"DIRECT\"; } catch (e) {}\n"
      "  }\n  return \"\";\n}\n";
  return script;
}

bool IsLocalEntry(const std::string& entry) {
  return entry.size() == 7 && strncasecmp(entry.c_str(), "<local>", 7) == 0;
}

}  // namespace

std::vector<std::string> split_bypass_list(const std::string& text) {
  // "," separates while one is left, so everything up to the last "," is
  // split at commas and only the rest at semicolons.
  std::vector<std::string> entries;
  auto keep = [&entries](std::string_view part) {
    std::string entry(part);
    klb::trim(entry);
    if (!entry.empty()) entries.push_back(std::move(entry));
  };
  const std::string_view all(text);
  const std::size_t last_comma = all.rfind(',');
  std::size_t start = 0;
  if (last_comma != std::string_view::npos) {
    while (start <= last_comma) {
      const std::size_t comma = all.find(',', start);
      keep(all.substr(start, comma - start));
      start = comma + 1;
    }
  }
  while (true) {
    const std::size_t semicolon = all.find(';', start);
    keep(all.substr(start, semicolon == std::string_view::npos ? all.npos : semicolon - start));
    if (semicolon == std::string_view::npos) break;
    start = semicolon + 1;
  }
  return entries;
}

bool match_bypass_pattern(const std::string& host, const std::string& pattern) {
  if (!Testable(pattern)) return false;
  const std::string engine_host = js_engine_text(host);
  switch (sh_exp_match_fast(engine_host, js_engine_text(pattern))) {
    case sh_exp_result_t::match:
      return true;
    case sh_exp_result_t::no_match:
      return false;
    case sh_exp_result_t::undecided:
      break;
  }
  std::string script = PATTERN_BYPASS_SCRIPT;
  script.replace(script.find("%s"), 2, pattern);
  return AnswersDirect(script, host);
}

bool match_bypass_list(const std::vector<std::string>& entries, const std::string& host) {
  const bool host_is_ip = klb::ipv4_test(host);
  const std::string engine_host = js_engine_text(host);
  std::vector<const std::string*> need_engine;
  for (const std::string& entry : entries) {
    if (IsLocalEntry(entry)) {
      if (host.find('.') == std::string::npos) return true;
      continue;
    }
    if (Testable(entry)) {
      switch (sh_exp_match_fast(engine_host, js_engine_text(entry))) {
        case sh_exp_result_t::match:
          return true;
        case sh_exp_result_t::no_match:
          break;
        case sh_exp_result_t::undecided:
          need_engine.push_back(&entry);
          break;
      }
    }
    if (host_is_ip && klb::ipv4_test(entry.substr(0, entry.find('/'))) &&
        klb::ipv4_match_mask(host, entry)) {
      return true;
    }
  }
  return !need_engine.empty() && AnswersDirect(ScriptForPatterns(need_engine), host);
}

}  // namespace OVProxy
