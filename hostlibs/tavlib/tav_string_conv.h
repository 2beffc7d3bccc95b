// Text conversions of the common library layer: UTF-8 to and from wide
// strings, and to and from the system code page.
//
// Conversions never fail: a byte sequence that is not UTF-8, a lone surrogate
// or a code point beyond U+10FFFF becomes U+FFFD. On this platform the system
// code page is UTF-8, so the code-page pair copies the text unchanged; callers
// still go through it so that the conversion points are where a Windows build
// needs them.
//
// Thread-safety: pure functions, callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace Tav {

std::wstring UTF8ToWide(std::string_view utf8);
std::string WideToUTF8(std::wstring_view wide);

std::string UTF8ToSystemCodePage(std::string_view utf8);
std::string SystemCodePageToUTF8(std::string_view text);

}  // namespace Tav
