#include "ovtest/scoped_temp_dir.h"

#include <filesystem>
#include <random>
#include <system_error>

#if !defined(_WIN32)
#include <stdlib.h>

#include <vector>
#endif

namespace ovtest {

ScopedTempDir::ScopedTempDir(const std::string& prefix) {
#if defined(_WIN32)
  // No mkdtemp: a random name, created exclusively (create_directory fails
  // on a name that exists), under the user's private temporary folder.
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return;
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const std::filesystem::path candidate = base / (prefix + std::to_string(random() % 1000000000));
    if (std::filesystem::create_directory(candidate, error) && !error) path_ = candidate.string();
  }
#else
  std::string pattern = "/tmp/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
#endif
}

ScopedTempDir::~ScopedTempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace ovtest
