// Export macro of the business library layer. The library is built with
// hidden visibility; only declarations marked TAVBIZ_EXPORT are visible to
// its users.
#pragma once

#if defined(_WIN32)
#if defined(TAVBIZ_BUILDING)
#define TAVBIZ_EXPORT __declspec(dllexport)
#else
#define TAVBIZ_EXPORT __declspec(dllimport)
#endif
#else
#define TAVBIZ_EXPORT __attribute__((visibility("default")))
#endif
