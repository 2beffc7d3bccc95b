#include "klbutil/klb_ipv4.h"

namespace klb {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// 0..32 written with one or two digits.
std::optional<uint32_t> ParsePrefix(std::string_view text) {
  if (text.empty() || text.size() > 2) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > 32) return std::nullopt;
  return value;
}

}  // namespace

std::optional<uint32_t> ipv4_parse(std::string_view text) {
  uint32_t address = 0;
  std::size_t pos = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    uint32_t value = 0;
    std::size_t digits = 0;
    while (pos < text.size() && IsDigit(text[pos]) && digits < 3) {
      value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || value > 255) return std::nullopt;
    address = (address << 8) | value;
  }
  if (pos != text.size()) return std::nullopt;
  return address;
}

bool ipv4_test(std::string_view text) {
  return ipv4_parse(text).has_value();
}

bool ipv4_match_mask(std::string_view address, std::string_view pattern) {
  const std::optional<uint32_t> host = ipv4_parse(address);
  if (!host) return false;
  const std::size_t slash = pattern.find('/');
  const std::optional<uint32_t> network = ipv4_parse(pattern.substr(0, slash));
  if (!network) return false;
  uint32_t mask = 0xffffffffu;
  if (slash != std::string_view::npos) {
    const std::string_view tail = pattern.substr(slash + 1);
    if (std::optional<uint32_t> prefix = ParsePrefix(tail)) {
      mask = *prefix == 0 ? 0u : 0xffffffffu << (32 - *prefix);
    } else if (std::optional<uint32_t> dotted = ipv4_parse(tail)) {
      mask = *dotted;
    } else {
      return false;
    }
  }
  return (*host & mask) == (*network & mask);
}

}  // namespace klb
