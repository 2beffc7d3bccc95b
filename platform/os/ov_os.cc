#include "platform/os/ov_os.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace ovplatform {
namespace {

class PosixOs final : public Os {
 public:
  std::optional<std::string> GetEnv(const std::string& name) override {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }

  std::string HomeDirectory() override {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
      return found->pw_dir;
    }
    return {};
  }

  uint32_t UserId() override { return static_cast<uint32_t>(getuid()); }

  std::optional<std::string> ReadFile(const std::string& path, size_t maxBytes) override {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> content;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<uint64_t>(info.st_size) <= maxBytes) {
      std::string text;
      // One allocation of the file's size, not a doubling series of them.
      text.reserve(static_cast<size_t>(info.st_size));
      char chunk[16384];
      bool ok = true;
      for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0) break;
        if (got < 0 || text.size() + static_cast<size_t>(got) > maxBytes) {
          ok = false;  // a read error, or the file grew past the bound meanwhile
          break;
        }
        text.append(chunk, static_cast<size_t>(got));
      }
      if (ok) content = std::move(text);
    }
    close(fd);
    return content;
  }

  bool FileExists(const std::string& path) override {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
  }

  bool IsDirectory(const std::string& path) override {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  std::vector<std::string> ListDirectory(const std::string& path) override {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::optional<int64_t> ModifiedTimeNs(const std::string& path) override {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  }
};

std::atomic<Os*>& Installed() {
  static std::atomic<Os*> os{nullptr};
  return os;
}

}  // namespace

std::string Os::MachineSettingsDirectory() {
  return "/etc";
}

Os& GetOs() {
  if (Os* os = Installed().load(std::memory_order_acquire)) return *os;
  static PosixOs real;
  return real;
}

void OverrideOsForTesting(Os* os) {
  Installed().store(os, std::memory_order_release);
}

std::string JoinPath(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  if (base.back() == '/') return base + name;
  return base + "/" + name;
}

}  // namespace ovplatform
