// prejs_parser: reads the user_pref(...) statements of a Firefox prefs.js.
//
// load_file keeps the text inside the parentheses of every statement that
// contains the filter. Comments are dropped: "/* ... */" (also across
// lines) and "//" to the end of the line; comment markers inside a quoted
// string or inside the parentheses of a user_pref( statement are text, so
// URL values survive. Parentheses inside strings do not count when the
// closing one is looked for. A statement without a closing parenthesis on
// its line is skipped.
//
// Lookups take the first statement naming the preference, so an earlier
// line wins over a later duplicate.
//
// A line longer than kMaxLineBytes is not kept (it is only scanned for
// comment markers, without copying): no preference the module reads is that
// long, and one huge value must not cost its size several times over. Such
// a line that holds the filter near its start is named in skipped(), for
// the caller to log. The parser itself logs nothing: it runs at every poll.
//
// Thread: one thread per parser. Lifetime: a plain value; the file is read
// once, in load_file, through ovplatform::GetOs() with a size bound.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace OVProxy {

class prejs_parser {
 public:
  static constexpr int kLoaded = 0;
  static constexpr int kAlreadyLoaded = 10;
  static constexpr int kOpenFailed = 14;
  // prefs.js of a long-used profile reaches a few MB; far larger is not one.
  static constexpr size_t kMaxFileBytes = 32u << 20;
  // The longest bypass list taken (64 KiB) with room for its statement.
  static constexpr size_t kMaxLineBytes = (64u << 10) + 1024;

  explicit prejs_parser(std::string path);

  // 0 read, 10 already read (nothing done), 14 the file cannot be read.
  int load_file(std::string_view filter);
  // Parses text as load_file parses the file's (for tests and fuzzing).
  void load_text(std::string_view text, std::string_view filter);

  // The value of a string preference; empty when missing.
  std::string get_string(std::string_view name) const;
  // The decimal value of a preference (leading digits with a sign, clamped
  // to the int range; no digits gives 0); `default_value` when missing or
  // empty.
  int get_int(std::string_view name, int default_value) const;

  const std::vector<std::string>& statements() const { return statements_; }
  // The over-long lines that named the filter: the preference's name when it
  // could be seen, with the line's length.
  const std::vector<std::string>& skipped() const { return skipped_; }

 private:
  void NoteSkipped(std::string_view line, std::string_view filter);

  std::vector<std::string> statements_;
  std::vector<std::string> skipped_;
  std::string m_js_file;
  bool m_loaded = false;
};

}  // namespace OVProxy
