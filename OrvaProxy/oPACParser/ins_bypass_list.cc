#include "OrvaProxy/oPACParser/ins_bypass_list.h"

#include <strings.h>

#include "OrvaProxy/oPACParser/js_runner.h"
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

constexpr std::size_t kPatternScriptSlack = 1024;
constexpr std::size_t kMaxPatternScript = 8192;

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

}  // namespace

std::vector<std::string> split_bypass_list(const std::string& text) {
  std::vector<std::string> entries;
  std::string remaining = text;
  while (true) {
    std::size_t separator = remaining.find(',');
    if (separator == std::string::npos) separator = remaining.find(';');
    std::string entry = remaining.substr(0, separator);
    klb::trim(entry);
    if (!entry.empty()) entries.push_back(std::move(entry));
    if (separator == std::string::npos) break;
    remaining.erase(0, separator + 1);
  }
  return entries;
}

bool match_bypass_pattern(const std::string& host, const std::string& pattern) {
  const std::size_t size = pattern.size() + PATTERN_BYPASS_SCRIPT.size() + kPatternScriptSlack;
  if (size > kMaxPatternScript) return false;
  if (!FitsInStringLiteral(pattern)) return false;
  std::string script = PATTERN_BYPASS_SCRIPT;
  script.replace(script.find("%s"), 2, pattern);
  return AnswersDirect(script, host);
}

bool match_bypass_list(const std::vector<std::string>& entries, const std::string& host) {
  const bool host_is_ip = klb::ipv4_test(host);
  for (const std::string& entry : entries) {
    if (entry.size() == 7 && strncasecmp(entry.c_str(), "<local>", 7) == 0) {
      if (AnswersDirect(LOCAL_BYPASS_SCRIPT, host)) return true;
      continue;
    }
    if (match_bypass_pattern(host, entry)) return true;
    if (host_is_ip && klb::ipv4_test(entry.substr(0, entry.find('/'))) &&
        klb::ipv4_match_mask(host, entry)) {
      return true;
    }
  }
  return false;
}

}  // namespace OVProxy
