#include "OrvaProxy/oPACParser/js_wide_text.h"

#include <windows.h>

#include <climits>
#include <cstdint>

#include "klbutil/klb_string.h"

namespace OVProxy {

std::optional<std::wstring> js_wide_text(std::string_view text) {
  if (text.empty()) return std::wstring();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const UINT code_page = klb::is_utf8(text) ? CP_UTF8 : CP_ACP;
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
