// The user's default browser for "http" links.
//
// On Linux this is the XDG association: the first mimeapps.list that names
// an installed handler for "x-scheme-handler/http" in its
// [Default Applications] group, searched in this order:
//   $XDG_CONFIG_HOME (~/.config), each of $XDG_CONFIG_DIRS (/etc/xdg),
//   $XDG_DATA_HOME/applications (~/.local/share/applications), each of
//   $XDG_DATA_DIRS/applications (/usr/local/share, /usr/share).
// A handler is installed when its desktop file is found under
// $XDG_DATA_HOME/applications or $XDG_DATA_DIRS/applications; its program
// is the first word of the desktop file's Exec line, after an "env"
// wrapper and its variable settings. For a Flatpak launcher the program is
// followed by the application id it runs ("/usr/bin/flatpak
// org.mozilla.firefox"), so the caller still sees which browser it is.
//
// On Windows (ov_default_browser_win.cc) it is the shell's association of
// the "http" protocol's "open" verb: AssocQueryStringW(ASSOCF_IS_PROTOCOL,
// ASSOCSTR_EXECUTABLE) gives the program (the executable's full path) and
// ASSOCSTR_PROGID the desktop_id ("FirefoxURL-308046B0AF4A39CB"; empty when
// the shell cannot tell it); desktop_file stays empty. The text helpers
// below stay available there.
//
// Thread: any; every file and environment access goes through
// ovplatform::GetOs(). Lifetime: as ov_os.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ovplatform {

struct DefaultBrowser {
  std::string desktop_id;    // "firefox.desktop"
  std::string desktop_file;  // where it was found
  std::string program;       // "/usr/bin/firefox", "firefox", ...
};

class DefaultBrowserLocator {
 public:
  virtual ~DefaultBrowserLocator() = default;
  // nullopt when no installed handler is associated with "http".
  virtual std::optional<DefaultBrowser> HttpHandler() = 0;
};

DefaultBrowserLocator& GetDefaultBrowserLocator();
// The platform's own locator (above), whatever a test installed.
DefaultBrowserLocator& SystemDefaultBrowserLocator();
// nullptr restores the real one. The caller keeps `locator` alive while
// installed.
void OverrideDefaultBrowserLocatorForTesting(DefaultBrowserLocator* locator);

// The desktop ids a mimeapps.list text names for `mime_type` in its
// [Default Applications] group, in order.
std::vector<std::string> DefaultHandlersInMimeapps(std::string_view text,
                                                   std::string_view mime_type);
// The program of a desktop file's text (its [Desktop Entry] Exec line, as
// above); empty when there is none.
std::string DesktopFileProgram(std::string_view text);

}  // namespace ovplatform
