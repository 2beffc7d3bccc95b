// ScopedTempDir: a fresh private directory (mode 0700) under /tmp (on
// Windows under the user's temporary folder), removed
// with everything in it when the object goes. Paths stay short, so Unix
// socket names inside fit the system's limit.
//
// Thread: construct and destroy on one thread.
#pragma once

#include <string>

namespace ovtest {

class ScopedTempDir {
 public:
  explicit ScopedTempDir(const std::string& prefix = "ovt");
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace ovtest
