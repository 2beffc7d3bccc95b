// The kind of client process this is, as the host declared it.
//
// The host sets it once at start (before the modules report telemetry);
// until then it is kProcessTypeUnknown. Values other than the named ones are
// the host's own and are kept as given.
//
// Thread-safety: callable from any thread.
#pragma once

#include <cstdint>

#include "tavbiz/tavbiz_export.h"

namespace Tav {

inline constexpr int32_t kProcessTypeUnknown = 0;
// The client's main (user interface) process.
inline constexpr int32_t kProcessTypeMain = 2;

TAVBIZ_EXPORT int32_t GetProcessType();
TAVBIZ_EXPORT void SetProcessType(int32_t type);

}  // namespace Tav
