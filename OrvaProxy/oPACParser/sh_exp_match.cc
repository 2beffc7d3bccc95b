#include "OrvaProxy/oPACParser/sh_exp_match.h"

#include <cstring>

namespace OVProxy {
namespace {

// Characters that keep a regular-expression meaning after the prelude's
// rewrite ("." "*" "?" are the rewritten ones).
bool IsPlainPatternChar(char c) {
  if (c < 0x20 || c > 0x7E) return false;
  return std::strchr("\\^$|+()[]{}", c) == nullptr;
}

// "." of a regular expression matches everything but a line terminator;
// the only ASCII ones are LF and CR.
bool IsPlainSubjectChar(char c) {
  return static_cast<unsigned char>(c) < 0x80 && c != '\n' && c != '\r';
}

}  // namespace

sh_exp_result_t sh_exp_match_fast(std::string_view str, std::string_view pattern) {
  for (char c : pattern) {
    if (!IsPlainPatternChar(c)) return sh_exp_result_t::undecided;
  }
  for (char c : str) {
    if (!IsPlainSubjectChar(c)) return sh_exp_result_t::undecided;
  }
  // Backtracking to the last star rescans at most the pattern once per
  // character of the string.
  if ((pattern.size() + 1) * (str.size() + 1) > kShExpMaxWork) return sh_exp_result_t::undecided;

  std::size_t s = 0;
  std::size_t p = 0;
  std::size_t star = std::string_view::npos;  // pattern index after the last star
  std::size_t star_s = 0;                     // string index that star resumes from
  while (s < str.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = ++p;
      star_s = s;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == str[s])) {
      ++p;
      ++s;
    } else if (star != std::string_view::npos) {
      p = star;
      s = ++star_s;
    } else {
      return sh_exp_result_t::no_match;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size() ? sh_exp_result_t::match : sh_exp_result_t::no_match;
}

}  // namespace OVProxy
