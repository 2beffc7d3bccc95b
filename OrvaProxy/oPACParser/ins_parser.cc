#include "OrvaProxy/oPACParser/ins_parser.h"

#include "klbutil/klb_string.h"

namespace OVProxy {
namespace {

constexpr const char* kProxySection = "Proxy";

// The answer text, held to a fixed capacity: an element goes in whole or
// not at all.
class BoundedText {
 public:
  explicit BoundedText(std::size_t capacity) : capacity_(capacity) {}

  void Append(std::string_view first_prefix, std::string_view later_prefix,
              std::string_view value) {
    const std::string_view prefix = text_.empty() ? first_prefix : later_prefix;
    if (prefix.size() + value.size() > capacity_ - text_.size()) return;
    text_.append(prefix).append(value);
  }
  const std::string& text() const { return text_; }

 private:
  std::size_t capacity_;
  std::string text_;
};

// The longest prefix of `value` within `max` bytes that ends before a "," or
// ";" (or the whole value when it fits).
std::string WholeElements(std::string value, std::size_t max) {
  if (value.size() <= max) return value;
  const std::size_t cut = value.find_last_of(",;", max);
  value.erase(cut == std::string::npos ? 0 : cut);
  return value;
}

}  // namespace

ins_parser_t::ins_parser_t(std::string_view content) {
  if (content.size() > kMaxInsBytes) {
    // Whole lines only: a line cut short could change what a key says.
    const std::size_t end = content.find_last_of("\r\n", kMaxInsBytes);
    content = content.substr(0, end == std::string_view::npos ? 0 : end);
  }
  parse_lines(content);
  read_proxy_settings();
}

ins_parser_t::~ins_parser_t() = default;

void ins_parser_t::parse_lines(std::string_view content) {
  std::string current;
  std::size_t start = 0;
  while (start <= content.size()) {
    std::size_t end = content.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = content.size();
    std::string line(content.substr(start, end - start));
    start = end + 1;
    klb::trim(line);
    if (line.empty()) continue;

    const std::size_t mark = line.find_first_of("#[=");
    if (mark == std::string::npos) continue;
    switch (line[mark]) {
      case '#': {
        const std::string comment = line.substr(mark + 1);
        if (key_count() > 0) {
          key_comment(current, comment);
        } else {
          header_comment(comment);
        }
        break;
      }
      case '=': {
        std::string key = line.substr(0, mark);
        std::string value = line.substr(mark + 1);
        const std::size_t hash = value.find('#');
        if (hash != std::string::npos) value.erase(hash);
        klb::trim(key);
        klb::trim(value);
        set_value(current, key, value);
        break;
      }
      case '[': {
        const std::size_t close = line.rfind(']');
        if (close == std::string::npos || close < mark) break;
        current = line.substr(mark + 1, close - mark - 1);
        add_key(current);
        break;
      }
    }
  }
}

void ins_parser_t::read_proxy_settings() {
  enabled_ = read_bool(kProxySection, "Proxy_Enable", false);
  if (!enabled_) return;
  use_same_ = read_bool(kProxySection, "Use_Same_Proxy", false);
  if (use_same_) {
    proxy_string_ =
        WholeElements(read_string(kProxySection, "HTTP_Proxy_Server", ""), kMaxProxyString);
  } else {
    struct Source {
      const char* key;
      const char* first;
      const char* later;
    };
    // HTTP is always first when present, so its "later" form never occurs.
    static constexpr Source kSources[] = {
        {"HTTP_Proxy_Server", "PROXY ", "; PROXY "},
        {"Secure_Proxy_Server", "PROXY ", "; PROXY "},
        {"FTP_Proxy_Server", "FTP ", "; FTP "},
        {"Socks_Proxy_Server", "SOCKS ", "; SOCKS "},
    };
    BoundedText answer(kMaxProxyString);
    for (const Source& source : kSources) {
      std::string value = read_string(kProxySection, source.key, "");
      klb::trim(value);
      if (value.empty()) continue;
      answer.Append(source.first, source.later, value);
    }
    proxy_string_ = answer.text();
  }
  bypass_string_ =
      WholeElements(read_string(kProxySection, "Proxy_Override", ""), kMaxBypassString);
}

}  // namespace OVProxy
