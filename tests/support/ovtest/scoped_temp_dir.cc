#include "ovtest/scoped_temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>
#include <vector>

namespace ovtest {

ScopedTempDir::ScopedTempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

ScopedTempDir::~ScopedTempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace ovtest
