// shExpMatch without a regular expression, for the patterns where that gives
// exactly the answer of the prelude's definition.
//
// The prelude's shExpMatch(str, pattern) turns the pattern into an anchored
// regular expression ("." literal, "*" any run of characters, "?" one
// character; every other character keeps its regular-expression meaning)
// and tests the string. For a pattern of printable ASCII without any other
// regular-expression character, tested against an ASCII string without line
// terminators, that is a plain wildcard match, decided here in linear space
// and at most kShExpMaxWork character steps. Anything else (other
// regular-expression characters, non-ASCII text, line terminators, inputs
// too long for the work cap) answers `undecided`, and the caller takes the
// regular-expression path, which is bounded by the engine's time-out.
//
// Thread-safety: a pure function.
#pragma once

#include <cstddef>
#include <string_view>

namespace OVProxy {

enum class sh_exp_result_t { no_match, match, undecided };

inline constexpr std::size_t kShExpMaxWork = std::size_t{1} << 22;

sh_exp_result_t sh_exp_match_fast(std::string_view str, std::string_view pattern);

}  // namespace OVProxy
