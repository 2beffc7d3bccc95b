#include "onetxfer/oxfer_response_headers.h"

#include <cctype>

namespace oXfer {
namespace {

std::string_view Trim(std::string_view text) {
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// "HTTP/1.1 200 OK" -> 200; 0 when the line is no status line.
int ParseStatus(std::string_view line) {
  if (line.size() < 5 || !EqualsNoCase(line.substr(0, 5), "HTTP/")) return 0;
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos || line.size() < space + 4) return 0;
  int status = 0;
  for (std::size_t i = space + 1; i < space + 4; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return 0;
    status = status * 10 + (line[i] - '0');
  }
  if (line.size() > space + 4 && line[space + 4] != ' ' && line[space + 4] != '\r' &&
      line[space + 4] != '\n') {
    return 0;
  }
  return status >= 100 ? status : 0;
}

}  // namespace

void ResponseHeaders::AddLine(std::string_view line) {
  if (const int parsed = ParseStatus(line); parsed != 0) {
    status = parsed;
    etag.clear();
    last_modified.clear();
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = Trim(line.substr(0, colon));
  const std::string_view value = Trim(line.substr(colon + 1));
  if (value.size() > kMaxValidatorBytes) return;
  // Validators are sent back as header values: nothing that could end one.
  for (char c : value) {
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) return;
  }
  if (EqualsNoCase(name, "ETag")) {
    etag.assign(value);
  } else if (EqualsNoCase(name, "Last-Modified")) {
    last_modified.assign(value);
  }
}

}  // namespace oXfer
