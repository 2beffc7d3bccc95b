#include "OrvaProxy/ovProxyConfig/prejs_parser.h"

#include <climits>

#include "klbutil/klb_string.h"
#include "platform/os/ov_os.h"

namespace OVProxy {
namespace {

constexpr std::string_view kStatement = "user_pref(";

void TrimBlanks(std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) {
    text.clear();
    return;
  }
  text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Removes the comments of one line. `in_block` carries an open "/*" from
// line to line. Without `out` only `in_block` is followed.
void StripComments(std::string_view line, bool& in_block, std::string* out) {
  auto keep = [out](char c) {
    if (out != nullptr) *out += c;
  };
  bool in_string = false;
  int depth = 0;  // parentheses open since the last user_pref(
  bool in_statement = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (in_block) {
      const size_t end = line.find("*/", i);
      if (end == std::string_view::npos) return;
      in_block = false;
      i = end + 1;
      keep(' ');
      continue;
    }
    const char c = line[i];
    if (in_string) {
      keep(c);
      if (c == '\\' && i + 1 < line.size()) {
        keep(line[++i]);
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (line.substr(i, kStatement.size()) == kStatement) {
      in_statement = true;
      depth = 1;
      if (out != nullptr) *out += kStatement;
      i += kStatement.size() - 1;
      continue;
    } else if (c == '(' && in_statement) {
      ++depth;
    } else if (c == ')' && in_statement) {
      in_statement = --depth > 0;
    } else if (c == '/' && i + 1 < line.size() && line[i + 1] == '*') {
      in_block = true;
      ++i;
      continue;
    } else if (c == '/' && i + 1 < line.size() && line[i + 1] == '/' && !in_statement) {
      return;
    }
    keep(c);
  }
}

// Appends the inside of each user_pref( ... ) of `text` that holds `filter`.
void CollectStatements(std::string_view text, std::string_view filter,
                       std::vector<std::string>& out) {
  size_t from = 0;
  while ((from = text.find(kStatement, from)) != std::string_view::npos) {
    const size_t inner = from + kStatement.size();
    int depth = 1;
    bool in_string = false;
    size_t close = std::string_view::npos;
    for (size_t i = inner; i < text.size(); ++i) {
      const char c = text[i];
      if (in_string) {
        if (c == '\\') {
          ++i;
        } else if (c == '"') {
          in_string = false;
        }
      } else if (c == '"') {
        in_string = true;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        close = i;
        break;
      }
    }
    if (close == std::string_view::npos) return;
    const std::string_view statement = text.substr(inner, close - inner);
    if (filter.empty() || statement.find(filter) != std::string_view::npos) {
      out.emplace_back(statement);
    }
    from = close + 1;
  }
}

}  // namespace

prejs_parser::prejs_parser(std::string path) : m_js_file(std::move(path)) {
  statements_.reserve(1024);
}

int prejs_parser::load_file(std::string_view filter) {
  if (m_loaded) return kAlreadyLoaded;
  const auto text = ovplatform::GetOs().ReadFile(m_js_file, kMaxFileBytes);
  if (!text) return kOpenFailed;
  load_text(*text, filter);
  return kLoaded;
}

void prejs_parser::load_text(std::string_view text, std::string_view filter) {
  bool in_block = false;
  std::string line;
  std::string kept;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (raw.size() > kMaxLineBytes) {
      StripComments(raw, in_block, nullptr);
      NoteSkipped(raw, filter);
      continue;
    }
    line.assign(raw);
    klb::trim(line);
    kept.clear();
    StripComments(line, in_block, &kept);
    CollectStatements(kept, filter, statements_);
  }
  m_loaded = true;
}

void prejs_parser::NoteSkipped(std::string_view line, std::string_view filter) {
  // The name stands at the start of a statement; the rest is its value.
  constexpr size_t kHead = 256;
  const std::string_view head = line.substr(0, kHead);
  const size_t at = filter.empty() ? head.find(kStatement) : head.find(filter);
  if (at == std::string_view::npos) return;
  std::string name = "a statement";
  if (!filter.empty()) {
    const size_t name_end = head.find_first_of("\"' ,)", at);
    if (name_end != std::string_view::npos) name = std::string(head.substr(at, name_end - at));
  }
  skipped_.push_back(name + ": a line of " + std::to_string(line.size()) + " bytes, limit " +
                     std::to_string(kMaxLineBytes));
}

std::string prejs_parser::get_string(std::string_view name) const {
  std::string key(name);
  if (key.empty() || key.front() != '"') key = "\"" + key + "\"";
  for (const std::string& statement : statements_) {
    if (statement.find(key) == std::string::npos) continue;
    const size_t comma = statement.find(',');
    if (comma == std::string::npos) return {};
    std::string value = statement.substr(comma + 1);
    TrimBlanks(value);
    const size_t first_quote = value.find('"');
    if (first_quote != std::string::npos) {
      const size_t last_quote = value.rfind('"');
      value = last_quote > first_quote ? value.substr(first_quote + 1, last_quote - first_quote - 1)
                                       : std::string();
      TrimBlanks(value);
    }
    return value;
  }
  return {};
}

int prejs_parser::get_int(std::string_view name, int default_value) const {
  const std::string text = get_string(name);
  if (text.empty()) return default_value;
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace OVProxy
