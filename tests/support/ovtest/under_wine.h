// Whether a Windows test program runs under Wine, whose stubs of some system
// calls (proxy resolver, change notifications, script interruption) answer
// differently from Windows. Always false elsewhere.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#endif

namespace ovtest {

inline bool UnderWine() {
#if defined(_WIN32)
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace ovtest
