// EnvOverlayOs: the real operating system with environment variables from a
// table of the test. Installs itself for its lifetime (OverrideOsForTesting)
// and restores the real one when destroyed; files and folders stay real, so a
// test writes them into a temporary folder.
//
// Thread-safety: Set/Unset before the code under test runs; reads from any
// thread.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/os/ov_os.h"

namespace ovtest {

class EnvOverlayOs : public ovplatform::Os {
 public:
  EnvOverlayOs() : real_(ovplatform::GetOs()) { ovplatform::OverrideOsForTesting(this); }
  ~EnvOverlayOs() override { ovplatform::OverrideOsForTesting(nullptr); }
  EnvOverlayOs(const EnvOverlayOs&) = delete;
  EnvOverlayOs& operator=(const EnvOverlayOs&) = delete;

  // Overlaid variables hide the real ones; Unset makes one read as missing.
  void Set(const std::string& name, const std::string& value) { env_[name] = value; }
  void Unset(const std::string& name) { env_[name] = std::nullopt; }

  std::optional<std::string> GetEnv(const std::string& name) override {
    const auto it = env_.find(name);
    return it != env_.end() ? it->second : real_.GetEnv(name);
  }
  std::string HomeDirectory() override { return real_.HomeDirectory(); }
  uint32_t UserId() override { return real_.UserId(); }
  std::optional<std::string> ReadFile(const std::string& path, size_t maxBytes) override {
    return real_.ReadFile(path, maxBytes);
  }
  bool FileExists(const std::string& path) override { return real_.FileExists(path); }
  bool IsDirectory(const std::string& path) override { return real_.IsDirectory(path); }
  std::vector<std::string> ListDirectory(const std::string& path) override {
    return real_.ListDirectory(path);
  }
  std::optional<int64_t> ModifiedTimeNs(const std::string& path) override {
    return real_.ModifiedTimeNs(path);
  }

 private:
  ovplatform::Os& real_;
  std::map<std::string, std::optional<std::string>> env_;
};

}  // namespace ovtest
