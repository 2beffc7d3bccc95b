#include "platform/browser/ov_default_browser.h"

#include <atomic>

#include "klbutil/klb_ini.h"
#include "platform/keyfile/ov_key_file.h"
#include "platform/os/ov_os.h"

namespace ovplatform {
namespace {

// mimeapps.list and desktop files are small; a larger one is not read.
constexpr size_t kMaxKeyFileBytes = 1 << 20;
constexpr char kHttpScheme[] = "x-scheme-handler/http";

std::vector<std::string> SplitList(std::string_view text, char separator) {
  std::vector<std::string> items;
  while (!text.empty()) {
    const size_t end = text.find(separator);
    std::string_view item = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (!item.empty()) items.emplace_back(item);
  }
  return items;
}

// Splits an Exec value into words: blanks separate, double quotes group,
// and inside quotes a backslash escapes the next character.
std::vector<std::string> ExecWords(std::string_view exec) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (quoted) {
      if (c == '\\' && i + 1 < exec.size()) {
        word += exec[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else if (c == '"') {
      quoted = true;
      in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

#if !defined(_WIN32)
// The XDG search; Windows asks the shell instead (ov_default_browser_win.cc).

// Absolute folders of a ":" list variable, or the fallback when it is unset
// or names none.
std::vector<std::string> Folders(const char* variable, const std::vector<std::string>& fallback) {
  std::vector<std::string> folders;
  if (auto value = GetOs().GetEnv(variable)) {
    for (std::string& folder : SplitList(*value, ':')) {
      if (folder.front() == '/') folders.push_back(std::move(folder));
    }
  }
  return folders.empty() ? fallback : folders;
}

std::string HomeFolder(const char* variable, const char* below_home) {
  auto folders = Folders(variable, {});
  if (!folders.empty()) return folders.front();
  const std::string home = GetOs().HomeDirectory();
  return home.empty() ? std::string() : JoinPath(home, below_home);
}

class XdgDefaultBrowserLocator final : public DefaultBrowserLocator {
 public:
  std::optional<DefaultBrowser> HttpHandler() override {
    const std::string data_home = HomeFolder("XDG_DATA_HOME", ".local/share");
    std::vector<std::string> application_folders;
    if (!data_home.empty()) application_folders.push_back(JoinPath(data_home, "applications"));
    for (const std::string& folder : Folders("XDG_DATA_DIRS", {"/usr/local/share", "/usr/share"})) {
      application_folders.push_back(JoinPath(folder, "applications"));
    }

    std::vector<std::string> list_folders;
    if (std::string config_home = HomeFolder("XDG_CONFIG_HOME", ".config"); !config_home.empty()) {
      list_folders.push_back(std::move(config_home));
    }
    for (std::string& folder : Folders("XDG_CONFIG_DIRS", {"/etc/xdg"})) {
      list_folders.push_back(std::move(folder));
    }
    list_folders.insert(list_folders.end(), application_folders.begin(), application_folders.end());

    Os& os = GetOs();
    for (const std::string& folder : list_folders) {
      const auto text = os.ReadFile(JoinPath(folder, "mimeapps.list"), kMaxKeyFileBytes);
      if (!text) continue;
      for (const std::string& id : DefaultHandlersInMimeapps(*text, kHttpScheme)) {
        if (id.find('/') != std::string::npos) continue;  // ids are plain names
        for (const std::string& applications : application_folders) {
          const std::string path = JoinPath(applications, id);
          const auto desktop = os.ReadFile(path, kMaxKeyFileBytes);
          if (!desktop) continue;
          return DefaultBrowser{id, path, DesktopFileProgram(*desktop)};
        }
      }
    }
    return std::nullopt;
  }
};
#endif

std::atomic<DefaultBrowserLocator*>& Installed() {
  static std::atomic<DefaultBrowserLocator*> locator{nullptr};
  return locator;
}

}  // namespace

std::vector<std::string> DefaultHandlersInMimeapps(std::string_view text,
                                                   std::string_view mime_type) {
  klb::ini_t file;
  ParseKeyFile(text, file);
  return SplitList(file.read_string("Default Applications", mime_type, ""), ';');
}

std::string DesktopFileProgram(std::string_view text) {
  klb::ini_t file;
  ParseKeyFile(text, file);
  const std::vector<std::string> words = ExecWords(file.read_string("Desktop Entry", "Exec", ""));
  size_t first = 0;
  if (first < words.size() && BaseName(words[first]) == "env") {
    ++first;
    // env's settings and options; "-u NAME" and "-C DIR" take a word.
    while (first < words.size() &&
           (words[first].find('=') != std::string::npos || words[first].starts_with("-"))) {
      const bool takes_word = words[first] == "-u" || words[first] == "-C";
      first += takes_word ? 2 : 1;
    }
  }
  if (first >= words.size()) return {};
  std::string program = words[first];
  if (BaseName(program) == "flatpak") {
    bool after_run = false;
    for (size_t i = first + 1; i < words.size(); ++i) {
      if (!after_run) {
        after_run = words[i] == "run";
      } else if (!words[i].starts_with("-") && !words[i].starts_with("@@")) {
        program += " " + words[i];
        break;
      }
    }
  }
  return program;
}

DefaultBrowserLocator& GetDefaultBrowserLocator() {
  if (DefaultBrowserLocator* locator = Installed().load(std::memory_order_acquire)) {
    return *locator;
  }
  return SystemDefaultBrowserLocator();
}

#if !defined(_WIN32)
DefaultBrowserLocator& SystemDefaultBrowserLocator() {
  static XdgDefaultBrowserLocator real;
  return real;
}
#endif

void OverrideDefaultBrowserLocatorForTesting(DefaultBrowserLocator* locator) {
  Installed().store(locator, std::memory_order_release);
}

}  // namespace ovplatform
