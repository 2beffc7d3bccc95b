// Export macro of the module. The library is built with hidden visibility;
// only the classes and functions marked OV_PROXY_EXPORT form its ABI.
#pragma once

#if defined(OV_PROXY_STATIC)
#define OV_PROXY_EXPORT
#elif defined(_WIN32)
#if defined(OV_PROXY_BUILDING)
#define OV_PROXY_EXPORT __declspec(dllexport)
#else
#define OV_PROXY_EXPORT __declspec(dllimport)
#endif
#else
#define OV_PROXY_EXPORT __attribute__((visibility("default")))
#endif
