#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"

#include <mutex>

#include "klbutil/klb_string.h"
#include "platform/os/ov_os.h"

namespace OVProxy {
namespace {

// profiles.ini holds a handful of lines.
constexpr size_t kMaxProfilesIniBytes = 1 << 20;

struct Section {
  std::string name;
  std::string path;
  bool relative = true;
  bool is_default = false;
  std::string install_default;
};

std::string TrimTabsSpaces(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// The sections of an ini text as Firefox writes profiles.ini and
// installs.ini. `installs` reads every section as an installation (the
// names of installs.ini are bare hashes).
std::vector<Section> ReadSections(std::string_view text, bool installs) {
  std::vector<Section> sections;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string line(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    klb::trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      sections.push_back(Section{line.substr(1, line.size() - 2)});
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos || sections.empty()) continue;
    const std::string key = TrimTabsSpaces(std::string_view(line).substr(0, equals));
    const std::string value = TrimTabsSpaces(std::string_view(line).substr(equals + 1));
    Section& section = sections.back();
    if (installs) {
      if (key == "Default") section.install_default = value;
    } else if (section.name.starts_with("Profile")) {
      if (key == "Path") section.path = value;
      if (key == "IsRelative") section.relative = value == "1";
      if (key == "Default") section.is_default = value == "1";
    } else if (section.name.starts_with("Install") && key == "Default") {
      section.install_default = value;
    }
  }
  return sections;
}

}  // namespace

std::optional<FirefoxProfileEntry> ChooseFirefoxProfile(std::string_view profiles_ini,
                                                        std::string_view installs_ini) {
  const std::vector<Section> sections = ReadSections(profiles_ini, false);

  const Section* last = nullptr;
  const Section* marked = nullptr;
  std::string installed;
  for (const Section& section : sections) {
    if (section.name.starts_with("Install") && installed.empty()) {
      installed = section.install_default;
    }
    if (!section.name.starts_with("Profile") || section.path.empty()) continue;
    last = &section;
    if (section.is_default && marked == nullptr) marked = &section;
  }
  if (installed.empty()) {
    for (const Section& section : ReadSections(installs_ini, true)) {
      if (!section.install_default.empty()) {
        installed = section.install_default;
        break;
      }
    }
  }
  if (!installed.empty()) {
    for (const Section& section : sections) {
      if (section.name.starts_with("Profile") && section.path == installed) {
        return FirefoxProfileEntry{section.path, section.relative};
      }
    }
    // Install sections name profiles by their relative Path.
    return FirefoxProfileEntry{installed, true};
  }
  if (marked != nullptr) return FirefoxProfileEntry{marked->path, marked->relative};
  if (last != nullptr) return FirefoxProfileEntry{last->path, last->relative};
  return std::nullopt;
}

namespace {

std::mutex g_folders_mutex;
std::optional<std::vector<std::string>> g_folders_override;

std::vector<std::string> DataFoldersToSearch() {
  {
    std::lock_guard<std::mutex> lock(g_folders_mutex);
    if (g_folders_override) return *g_folders_override;
  }
  return FirefoxDataFolders();
}

}  // namespace

void OverrideFirefoxDataFoldersForTesting(std::optional<std::vector<std::string>> folders) {
  std::lock_guard<std::mutex> lock(g_folders_mutex);
  g_folders_override = std::move(folders);
}

std::optional<std::string> FindFirefoxPrefsJs() {
  ovplatform::Os& os = ovplatform::GetOs();
  for (const std::string& folder : DataFoldersToSearch()) {
    const std::string index = ovplatform::JoinPath(folder, "profiles.ini");
    if (!os.FileExists(index)) continue;
    const auto text = os.ReadFile(index, kMaxProfilesIniBytes);
    if (!text) return std::nullopt;
    const std::string installs_path = ovplatform::JoinPath(folder, "installs.ini");
    const auto installs = os.FileExists(installs_path)
                              ? os.ReadFile(installs_path, kMaxProfilesIniBytes)
                              : std::nullopt;
    const auto profile = ChooseFirefoxProfile(*text, installs.value_or(std::string()));
    if (!profile) return std::nullopt;
    const std::string prefs = ovplatform::JoinPath(
        profile->relative ? ovplatform::JoinPath(folder, profile->path) : profile->path,
        "prefs.js");
    if (!os.FileExists(prefs)) return std::nullopt;
    return prefs;
  }
  return std::nullopt;
}

}  // namespace OVProxy
