#include "OrvaProxy/oPACParser/js_wide_text.h"

#include <windows.h>

#include <climits>
#include <cstdint>

namespace OVProxy {

bool js_is_utf8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra = 0;
    uint32_t min = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::optional<std::wstring> js_wide_text(std::string_view text) {
  if (text.empty()) return std::wstring();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const UINT code_page = js_is_utf8(text) ? CP_UTF8 : CP_ACP;
  const int size = static_cast<int>(text.size());
  const int wide_size = MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
  if (wide_size <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
  if (MultiByteToWideChar(code_page, 0, text.data(), size, wide.data(), wide_size) != wide_size) {
    return std::nullopt;
  }
  return wide;
}

std::string js_utf8_text(const wchar_t* text, std::size_t size) {
  if (text == nullptr || size == 0 || size > static_cast<std::size_t>(INT_MAX)) return {};
  const int wide_size = static_cast<int>(size);
  const int narrow_size =
      WideCharToMultiByte(CP_UTF8, 0, text, wide_size, nullptr, 0, nullptr, nullptr);
  if (narrow_size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(narrow_size), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, text, wide_size, narrow.data(), narrow_size, nullptr,
                          nullptr) != narrow_size) {
    return {};
  }
  return narrow;
}

std::string js_cut_utf8(std::string text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text + "...";
}

}  // namespace OVProxy
