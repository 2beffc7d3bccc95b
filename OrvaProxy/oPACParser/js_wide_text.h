// Text conversions of the Windows PAC engine (Active Scripting speaks
// UTF-16): the module's narrow texts to UTF-16 and the engine's strings back
// to UTF-8.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace OVProxy {

// UTF-16 of well-formed UTF-8, else of the text read in the ANSI code page;
// nullopt when the system cannot convert it (or it is longer than the
// conversion functions take).
std::optional<std::wstring> js_wide_text(std::string_view text);

// UTF-8 of a UTF-16 string; an unpaired surrogate becomes U+FFFD.
std::string js_utf8_text(const wchar_t* text, std::size_t size);

// At most `max` bytes of UTF-8 `text`, cut at a character boundary; a cut
// text ends with "...".
std::string js_cut_utf8(std::string text, std::size_t max);

}  // namespace OVProxy
