// FakeEnvironmentOs: the real operating system with an environment of the
// test's own and a fresh temporary HOME, installed while it lives. Set the
// environment and write files before the code under test runs; reads may
// then come from any thread.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ovtest/scoped_temp_dir.h"
#include "platform/os/ov_os.h"

namespace ovtest {

class FakeEnvironmentOs final : public ovplatform::Os {
 public:
  FakeEnvironmentOs() : home_dir_("ovtest-home-"), home_(home_dir_.path()) {
    if (home_.empty()) throw std::runtime_error("no temporary home folder");
    env_["HOME"] = home_;
    ovplatform::OverrideOsForTesting(this);
  }
  ~FakeEnvironmentOs() override { ovplatform::OverrideOsForTesting(nullptr); }
  FakeEnvironmentOs(const FakeEnvironmentOs&) = delete;
  FakeEnvironmentOs& operator=(const FakeEnvironmentOs&) = delete;

  const std::string& home() const { return home_; }
  void SetEnv(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    env_[name] = value;
  }
  void UnsetEnv(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    env_.erase(name);
  }
  // Writes home()/relative_path, creating its folders; answers the full path.
  std::string WriteHomeFile(const std::string& relative_path, const std::string& text) {
    const std::filesystem::path path = std::filesystem::path(home_) / relative_path;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  std::optional<std::string> GetEnv(const std::string& name) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = env_.find(name);
    return it == env_.end() ? std::nullopt : std::optional<std::string>(it->second);
  }
  std::string HomeDirectory() override { return home_; }
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
  ovplatform::Os& real_ = ovplatform::GetOs();
  ScopedTempDir home_dir_;
  std::string home_;
  std::mutex mutex_;
  std::map<std::string, std::string> env_;
};

}  // namespace ovtest
