// The current user's proxy settings, in the shape of the per-user record the
// system source translates: an auto-detect flag, an auto-config (PAC) URL, a
// manual proxy string ("host:port" for every scheme, or
// "http=h:p;https=h:p;ftp=h:p;socks5=h:p") and a bypass string (";" or ","
// separated host rules). Empty strings mean "not set".
//
// On Linux the record comes from the first backend that applies, in the
// order the browsers of this platform use:
//   1. GNOME GSettings ("org.gnome.system.proxy"), on GNOME and the desktops
//      built on it, when GIO was found at build time and the schema is
//      installed;
//   2. KDE's kioslaverc [Proxy Settings] group, on KDE Plasma;
//   3. the environment variables (http_proxy, no_proxy, auto_proxy, ...).
// A desktop whose backend is unavailable falls through to the environment.
// `backend` names the backend that answered ("gnome", "kde", "environment").
//
// On Windows the record is WinHTTP's per-user proxy configuration
// (WinHttpGetIEProxyConfigForCurrentUser; backend "winhttp"), its UTF-16
// strings converted to UTF-8 and freed with GlobalFree. A failing call is
// Read answering false with GetLastError's code.
//
// Thread: Read may be called from any thread (the system source calls it on
// its polling runner); it blocks for the few file or settings reads it does.
// Lifetime: GetUserProxySettingsReader's object lives for the process;
// OverrideUserProxySettingsReaderForTesting swaps it like ov_os.h does.
#pragma once

#include <cstdint>
#include <string>

namespace ovplatform {

struct UserProxySettings {
  bool auto_detect = false;
  std::string auto_config_url;
  std::string proxy;
  std::string bypass;
  std::string backend;
  // Something of the user's settings the record could not carry; empty
  // normally. The caller logs it.
  std::string note;
};

class UserProxySettingsReader {
 public:
  virtual ~UserProxySettingsReader() = default;
  // False with a system error code in `error` when the settings could not
  // be read at all; `out` is then unspecified.
  virtual bool Read(UserProxySettings& out, uint32_t& error) = 0;
};

UserProxySettingsReader& GetUserProxySettingsReader();
// The platform's own reader, whatever a test installed.
UserProxySettingsReader& SystemUserProxySettingsReader();
// nullptr restores the real one. The caller keeps `reader` alive while
// installed.
void OverrideUserProxySettingsReaderForTesting(UserProxySettingsReader* reader);

// Names of the backends, as `backend` carries them.
inline constexpr const char kGnomeBackend[] = "gnome";
inline constexpr const char kKdeBackend[] = "kde";
inline constexpr const char kEnvironmentBackend[] = "environment";
inline constexpr const char kWinHttpBackend[] = "winhttp";

}  // namespace ovplatform
