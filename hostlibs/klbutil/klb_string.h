// String helpers of the utility library layer.
#pragma once

#include <string>
#include <string_view>

namespace klb {

// Removes spaces, tabs, carriage returns and line feeds from both ends of
// `text`, in place.
void trim(std::string& text);

// True when `text` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing past U+10FFFF.
bool is_utf8(std::string_view text);

// `text` read byte by byte as ISO-8859-1, in UTF-8.
std::string latin1_to_utf8(std::string_view text);

}  // namespace klb
