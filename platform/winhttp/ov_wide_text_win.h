// UTF-8 <-> UTF-16 for the Windows layers that call the system's wide-string
// (W) functions: the module's strings are UTF-8, the system's UTF-16.
//
// Text that does not convert (bytes that are not UTF-8, lone surrogates)
// yields an empty string, so a caller can tell "nothing usable" by
// emptiness; a caller that needs to tell an empty input apart checks the
// input first.
//
// Windows only. Thread: pure functions, callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace ovplatform {

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);
// A NUL-terminated wide string from the system; null is empty.
std::string WideToUtf8(const wchar_t* wide);

}  // namespace ovplatform
