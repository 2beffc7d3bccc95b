// PAC URL discovery in the shape the PAC file decider calls it: one blocking
// call per detection type that writes the URL found, NUL-terminated, into the
// caller's buffer.
//
// The real detector asks the process's WPAD discovery
// (platform/wpad/ov_wpad_discovery.h) for exactly the type given, so DHCP
// and DNS are tried as separate calls, in the caller's order. On Windows it
// is WinINet's DetectAutoProxyUrl instead (ANSI, one call per request; any
// failure of the system call, such as a system where it is not implemented,
// is "not found"). A URL that does not fit the buffer with its terminator
// counts as not found (nothing is truncated into a wrong URL).
//
// Thread: DetectAutoProxyUrl blocks; call it from a worker runner.
// Implementations are thread-safe. Lifetime: the process-wide detector lives
// until exit; tests install their own with
// OverrideAutoProxyUrlDetectorForTesting or hand one to the decider.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace ovplatform {

// The system's values. <wininet.h> defines these names as macros: a file
// that needs both includes this header first.
inline constexpr uint32_t PROXY_AUTO_DETECT_TYPE_DHCP = 1;
inline constexpr uint32_t PROXY_AUTO_DETECT_TYPE_DNS_A = 2;

class AutoProxyUrlDetector {
 public:
  virtual ~AutoProxyUrlDetector() = default;
  // True when a URL of the given type(s) was found and written to `url`
  // (at most `urlLength` bytes, terminator included).
  virtual bool DetectAutoProxyUrl(char* url, uint32_t urlLength, uint32_t detectFlags) = 0;
};

// The process-wide detector (the WPAD-backed one unless a test replaced it).
std::shared_ptr<AutoProxyUrlDetector> GetAutoProxyUrlDetector();
// nullopt restores the real detector.
void OverrideAutoProxyUrlDetectorForTesting(
    std::optional<std::shared_ptr<AutoProxyUrlDetector>> detector);

#ifdef _WIN32
// The shape of WinINet's DetectAutoProxyUrl: non-zero when a URL was written.
using SystemDetectAutoProxyUrl = int (*)(char* url, uint32_t urlLength, uint32_t detectFlags);
// A detector over WinINet, or over `detect` (tests) when given.
std::shared_ptr<AutoProxyUrlDetector> CreateWinInetAutoProxyUrlDetector(
    SystemDetectAutoProxyUrl detect = nullptr);
#else
// A detector over the process's WPAD discovery.
std::shared_ptr<AutoProxyUrlDetector> CreateWpadAutoProxyUrlDetector();
#endif

}  // namespace ovplatform
