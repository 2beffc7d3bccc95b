#include "platform/wpad/ov_dhcp_lease_parser.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>

namespace ovplatform {
namespace {

enum class TokenKind { kWord, kString, kSemicolon, kOpenBrace, kCloseBrace };

struct Token {
  TokenKind kind;
  std::string text;  // the word, or the decoded bytes of a quoted string
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

// Decodes the body of a quoted string starting after its opening quote.
// `pos` ends after the closing quote (or at the end of an unterminated one,
// with `closed` false).
std::string ReadQuoted(std::string_view text, size_t& pos, bool& closed) {
  std::string out;
  closed = false;
  while (pos < text.size()) {
    const char c = text[pos++];
    if (c == '"') {
      closed = true;
      return out;
    }
    if (c != '\\' || pos >= text.size()) {
      out.push_back(c);
      continue;
    }
    const char e = text[pos++];
    if (e >= '0' && e <= '7') {
      int value = e - '0';
      for (int digits = 1; digits < 3 && pos < text.size() && text[pos] >= '0' && text[pos] <= '7';
           ++digits) {
        value = value * 8 + (text[pos++] - '0');
      }
      out.push_back(static_cast<char>(value & 0xff));
    } else if (e == 'x' && pos < text.size() && HexDigit(text[pos]) >= 0) {
      int value = HexDigit(text[pos++]);
      if (pos < text.size() && HexDigit(text[pos]) >= 0) value = value * 16 + HexDigit(text[pos++]);
      out.push_back(static_cast<char>(value));
    } else if (e == 'n') {
      out.push_back('\n');
    } else if (e == 't') {
      out.push_back('\t');
    } else if (e == 'r') {
      out.push_back('\r');
    } else if (e == 'b') {
      out.push_back('\b');
    } else {
      out.push_back(e);
    }
  }
  return out;
}

std::vector<Token> Tokenize(std::string_view text) {
  std::vector<Token> tokens;
  size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (IsSpace(c)) {
      ++pos;
    } else if (c == '#') {
      while (pos < text.size() && text[pos] != '\n') ++pos;
    } else if (c == ';') {
      tokens.push_back({TokenKind::kSemicolon, {}});
      ++pos;
    } else if (c == '{') {
      tokens.push_back({TokenKind::kOpenBrace, {}});
      ++pos;
    } else if (c == '}') {
      tokens.push_back({TokenKind::kCloseBrace, {}});
      ++pos;
    } else if (c == '"') {
      ++pos;
      bool closed = false;
      tokens.push_back({TokenKind::kString, ReadQuoted(text, pos, closed)});
    } else {
      const size_t start = pos;
      while (pos < text.size() && !IsSpace(text[pos]) && text[pos] != ';' && text[pos] != '{' &&
             text[pos] != '}' && text[pos] != '"' && text[pos] != '#') {
        ++pos;
      }
      tokens.push_back({TokenKind::kWord, std::string(text.substr(start, pos - start))});
    }
  }
  return tokens;
}

std::optional<int64_t> ParseInteger(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "YYYY/MM/DD" and "HH:MM:SS", as dhclient writes them (UTC).
std::optional<int64_t> ParseUtcDateTime(std::string_view date, std::string_view time) {
  std::array<int64_t, 3> d{};
  std::array<int64_t, 3> t{};
  auto split = [](std::string_view text, char separator, std::array<int64_t, 3>& parts) {
    for (size_t i = 0; i < parts.size(); ++i) {
      const size_t end = i + 1 < parts.size() ? text.find(separator) : text.size();
      if (end == std::string_view::npos) return false;
      const auto value = ParseInteger(text.substr(0, end));
      if (!value) return false;
      parts[i] = *value;
      text.remove_prefix(std::min(text.size(), end + 1));
    }
    return true;
  };
  if (!split(date, '/', d) || !split(time, ':', t)) return std::nullopt;
  if (d[0] < 1970 || d[0] > 9999 || d[1] < 1 || d[1] > 12 || d[2] < 1 || d[2] > 31) {
    return std::nullopt;
  }
  if (t[0] < 0 || t[0] > 23 || t[1] < 0 || t[1] > 59 || t[2] < 0 || t[2] > 60) return std::nullopt;
  const std::chrono::year_month_day day{std::chrono::year(static_cast<int>(d[0])),
                                        std::chrono::month(static_cast<unsigned>(d[1])),
                                        std::chrono::day(static_cast<unsigned>(d[2]))};
  if (!day.ok()) return std::nullopt;
  const int64_t days = std::chrono::sys_days(day).time_since_epoch().count();
  return days * 86400 + t[0] * 3600 + t[1] * 60 + t[2];
}

// `expire 4 2026/12/03 20:49:46`, `expire epoch 1733258986` or
// `expire never`; anything else is treated as not saying.
std::optional<int64_t> ParseExpiry(const std::vector<Token>& statement) {
  if (statement.size() == 3 && statement[1].text == "epoch") return ParseInteger(statement[2].text);
  if (statement.size() == 4) return ParseUtcDateTime(statement[2].text, statement[3].text);
  return std::nullopt;
}

bool IsWpadOptionName(std::string_view name) {
  return name == "wpad" || name == "wpad-url" || name == "unknown-252";
}

void ApplyLeaseStatement(const std::vector<Token>& statement, DhcpLease& lease) {
  if (statement.empty() || statement[0].kind != TokenKind::kWord) return;
  const std::string& keyword = statement[0].text;
  if (keyword == "interface" && statement.size() == 2) {
    lease.interface = statement[1].text;
  } else if (keyword == "expire") {
    lease.expiresAt = ParseExpiry(statement);
  } else if (keyword == "option" && statement.size() == 3 && IsWpadOptionName(statement[1].text)) {
    const Token& value = statement[2];
    std::optional<std::string> bytes;
    if (value.kind == TokenKind::kString) {
      bytes = value.text;
    } else {
      bytes = DecodeDhcpOptionValue(value.text);
    }
    if (bytes) lease.wpadUrl = NormalizeWpadUrl(*bytes);
  }
}

// Skips a `{ ... }` block whose opening brace is at tokens[i - 1].
size_t SkipBlock(const std::vector<Token>& tokens, size_t i) {
  int depth = 1;
  for (; i < tokens.size() && depth > 0; ++i) {
    if (tokens[i].kind == TokenKind::kOpenBrace) ++depth;
    if (tokens[i].kind == TokenKind::kCloseBrace) --depth;
  }
  return i;
}

std::vector<DhcpLease> ParseBlockFormat(std::string_view text) {
  const std::vector<Token> tokens = Tokenize(text);
  std::vector<DhcpLease> leases;
  size_t i = 0;
  while (i < tokens.size()) {
    const bool leaseStart = tokens[i].kind == TokenKind::kWord && tokens[i].text == "lease" &&
                            i + 1 < tokens.size() && tokens[i + 1].kind == TokenKind::kOpenBrace;
    if (!leaseStart) {
      // Some other top-level statement or block: pass over it.
      if (tokens[i].kind == TokenKind::kOpenBrace) {
        i = SkipBlock(tokens, i + 1);
      } else {
        ++i;
      }
      continue;
    }
    i += 2;
    DhcpLease lease;
    std::vector<Token> statement;
    bool closed = false;
    while (i < tokens.size()) {
      const Token& token = tokens[i];
      if (token.kind == TokenKind::kCloseBrace) {
        ApplyLeaseStatement(statement, lease);
        closed = true;
        ++i;
        break;
      }
      if (token.kind == TokenKind::kOpenBrace) {
        statement.clear();
        i = SkipBlock(tokens, i + 1);
        continue;
      }
      if (token.kind == TokenKind::kSemicolon) {
        ApplyLeaseStatement(statement, lease);
        statement.clear();
      } else {
        statement.push_back(token);
      }
      ++i;
    }
    // A lease cut off by the end of the file is half written: not trusted.
    if (closed) leases.push_back(std::move(lease));
  }
  return leases;
}

bool LooksLikeUrlText(std::string_view value) {
  const size_t scheme = value.find("://");
  return scheme != std::string_view::npos && scheme > 0 &&
         std::all_of(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(scheme),
                     [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; });
}

std::vector<DhcpLease> ParseKeyValueFormat(std::string_view text) {
  DhcpLease lease;
  bool any = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    any = true;
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (!EqualsIgnoreCase(key, "WPAD") && !EqualsIgnoreCase(key, "OPTION_252")) continue;
    std::optional<std::string> bytes;
    if (LooksLikeUrlText(value)) {
      bytes = std::string(value);
    } else {
      bytes = DecodeDhcpOptionValue(value);
    }
    if (bytes) lease.wpadUrl = NormalizeWpadUrl(*bytes);
  }
  if (!any) return {};
  return {std::move(lease)};
}

}  // namespace

std::optional<std::string> DecodeDhcpOptionValue(std::string_view value) {
  value = Trim(value);
  if (value.empty()) return std::nullopt;
  if (value.front() == '"') {
    size_t pos = 1;
    bool closed = false;
    std::string text = ReadQuoted(value, pos, closed);
    if (!closed || pos != value.size()) return std::nullopt;
    return text;
  }
  std::string bytes;
  if (value.find(':') != std::string_view::npos) {
    size_t pos = 0;
    while (pos <= value.size()) {
      const size_t end = std::min(value.find(':', pos), value.size());
      const std::string_view part = value.substr(pos, end - pos);
      if (part.empty() || part.size() > 2) return std::nullopt;
      int byte = 0;
      for (const char c : part) {
        const int digit = HexDigit(c);
        if (digit < 0) return std::nullopt;
        byte = byte * 16 + digit;
      }
      bytes.push_back(static_cast<char>(byte));
      pos = end + 1;
    }
    return bytes;
  }
  if (value.size() % 2 != 0) return std::nullopt;
  for (size_t i = 0; i < value.size(); i += 2) {
    const int high = HexDigit(value[i]);
    const int low = HexDigit(value[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

std::string NormalizeWpadUrl(std::string_view raw) {
  while (!raw.empty() && (raw.back() == '\0' || IsSpace(raw.back()))) raw.remove_suffix(1);
  while (!raw.empty() && IsSpace(raw.front())) raw.remove_prefix(1);
  if (raw.empty() || raw.size() > kMaxWpadUrlLength) return {};
  for (const char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    // Control characters, spaces and the characters no URL may carry as
    // they are: the URL ends up in requests and log lines.
    if (byte <= 0x20 || byte == 0x7f) return {};
    if (std::string_view("\"<>\\^`{|}").find(c) != std::string_view::npos) return {};
  }
  size_t schemeEnd = 0;
  if (raw.size() > 7 && EqualsIgnoreCase(raw.substr(0, 7), "http://")) {
    schemeEnd = 7;
  } else if (raw.size() > 8 && EqualsIgnoreCase(raw.substr(0, 8), "https://")) {
    schemeEnd = 8;
  } else {
    return {};
  }
  std::string_view authority = raw.substr(schemeEnd);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (authority.empty() || authority.front() == ':') return {};
  return std::string(raw);
}

std::vector<DhcpLease> ParseDhcpLeaseFile(std::string_view text) {
  if (text.find('{') != std::string_view::npos) return ParseBlockFormat(text);
  return ParseKeyValueFormat(text);
}

}  // namespace ovplatform
