// ScopedTempDir: a fresh private directory under /tmp (on Windows under the
// user's temporary folder), removed with its contents when the object goes.
// Paths stay short, so Unix socket names inside fit the system's limit.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#if !defined(_WIN32)
#include <stdlib.h>
#endif

namespace ovtest {

class ScopedTempDir {
 public:
  explicit ScopedTempDir(const std::string& prefix = "ovt") {
#if defined(_WIN32)
    // No mkdtemp: a random name, created exclusively (create_directory fails
    // on a name that exists).
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::mt19937_64 random(std::random_device{}());
    for (int attempt = 0; !base.empty() && attempt < 100 && path_.empty(); ++attempt) {
      const auto candidate = base / (prefix + std::to_string(random() % 1000000000));
      if (std::filesystem::create_directory(candidate, error) && !error) path_ = candidate.string();
    }
#else
    std::string pattern = "/tmp/" + prefix + "XXXXXX";  // mkdtemp makes it mode 0700
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
#endif
  }
  ~ScopedTempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const {
    return path_;
  }

 private:
  std::string path_;
};

}  // namespace ovtest
