#include "platform/keyfile/ov_key_file.h"

#include <string>

namespace ovplatform {
namespace {

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n";
  const size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kBlank);
  return text.substr(first, last - first + 1);
}

}  // namespace

void ParseKeyFile(std::string_view text, klb::ini_t& out) {
  std::string group;
  bool in_group = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      in_group = close != std::string_view::npos;
      if (in_group) {
        group = std::string(line.substr(1, close - 1));
        out.add_key(group);
      }
      continue;
    }
    const size_t equals = line.find('=');
    if (!in_group || equals == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, equals));
    if (key.empty() || out.has_value(group, key)) continue;
    out.set_value(group, key, Trim(line.substr(equals + 1)));
  }
}

}  // namespace ovplatform
