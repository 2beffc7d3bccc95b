// shExpMatch's native wildcard match against the prelude's own
// regular-expression definition: input "string\npattern". Wherever the
// native match decides, the engine (whose shExpMatch uses it) and the
// prelude's definition must agree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "OrvaProxy/oPACParser/js_runner.h"
#include "OrvaProxy/oPACParser/pac_prelude.h"
#include "OrvaProxy/oPACParser/sh_exp_match.h"

namespace {

std::string Literal(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
    out += escaped;
  }
  return out + "\"";
}

std::string RegExpDefinition() {
  const std::string_view prelude = OVProxy::kPacPrelude;
  const std::size_t start = prelude.find("function shExpMatch(");
  const std::size_t end = prelude.find("\n}\n", start);
  std::string definition(prelude.substr(start, end + 3 - start));
  definition.replace(0, std::string_view("function shExpMatch").size(), "function regexpMatch");
  return definition;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size > 256 ? 256 : size);
  const std::size_t cut = input.find('\n');
  if (cut == std::string_view::npos) return 0;
  const std::string_view str = input.substr(0, cut);
  const std::string_view pattern = input.substr(cut + 1);
  const OVProxy::sh_exp_result_t fast = OVProxy::sh_exp_match_fast(str, pattern);
  if (fast == OVProxy::sh_exp_result_t::undecided) return 0;
  static const std::string definition = RegExpDefinition();
  // Characters as code units of the bytes: the decided cases are ASCII.
  const std::string script = definition + "function FindProxyForURL(u, h) { return String(" +
                             "regexpMatch(" + Literal(str) + ", " + Literal(pattern) + ")); }";
  std::string answer;
  // A backtracking regular expression can run into the evaluation bound on a
  // pathological pattern that the native matcher decides at once: nothing to
  // compare then.
  if (OVProxy::js_runner_t(script).run("http://x/", "x", answer) != 0) return 0;
  const bool match = fast == OVProxy::sh_exp_result_t::match;
  if (answer != (match ? "true" : "false")) std::abort();
  return 0;
}
