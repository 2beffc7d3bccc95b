// Finds the prefs.js of the current user's Firefox profile.
//
// Firefox's data folder is looked for in this order, and the first that has
// a profiles.ini is used:
//   1. ~/.mozilla/firefox when that folder exists (where Firefox kept its
//      profiles for years, and still does for users who have it), else
//      $XDG_CONFIG_HOME/mozilla/firefox ($XDG_CONFIG_HOME when absolute,
//      else ~/.config), where current Firefox creates a new user's
//      profiles: Firefox makes the same choice;
//   2. ~/snap/firefox/common/.mozilla/firefox      (snap)
//   3. ~/.var/app/org.mozilla.firefox/.mozilla/firefox  (flatpak)
// On Windows (ov_firefox_profile_win.cc) the one folder is
// <roaming application data>\Mozilla\Firefox: SHGetFolderPathA(CSIDL_APPDATA),
// kept only when PathFileExistsA finds it, and then turned from the ANSI
// code page into UTF-8 like every path of the module.
//
// In profiles.ini (lines trimmed; empty, ";" and "#" lines skipped) the
// profile is, in order of preference: the one an [Install...] section names
// as its Default; the one installs.ini (beside it; one section per
// installation, named by its hash) names as Default, when profiles.ini has
// no [Install...] section; the [Profile...] section with Default=1; the last
// [Profile...] section with a Path. IsRelative=1 (the default when absent)
// puts the Path below the data folder. The result is that folder's
// prefs.js, when it exists.
//
// Thread: any; files through ovplatform::GetOs().
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace OVProxy {

struct FirefoxProfileEntry {
  std::string path;
  bool relative = true;
};

// The profile profiles.ini's text (and installs.ini's, when there is one)
// chooses; nullopt when they name none.
std::optional<FirefoxProfileEntry> ChooseFirefoxProfile(std::string_view profiles_ini,
                                                        std::string_view installs_ini = {});

// The candidate data folders, in the order above; empty without a home
// (Windows: without the folder).
std::vector<std::string> FirefoxDataFolders();

// The full path of the chosen profile's prefs.js; nullopt when there is no
// profiles.ini, it names no profile or the file is missing.
std::optional<std::string> FindFirefoxPrefsJs();

// Makes FindFirefoxPrefsJs search `folders` instead of FirefoxDataFolders(),
// so tests of the sources place a profile where they like on every platform
// (the Windows folder comes from the shell, not from the operating-system
// layer). nullopt restores the search.
void OverrideFirefoxDataFoldersForTesting(std::optional<std::vector<std::string>> folders);

}  // namespace OVProxy
