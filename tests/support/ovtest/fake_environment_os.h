// FakeEnvironmentOs: the operating system of ov_os.h with an environment of
// the test's own and a fresh temporary home folder; files are real. It is
// installed (OverrideOsForTesting) while it lives and removes its folder
// when destroyed.
//
// Thread-safety: set the environment and write files before the code under
// test runs; reads may then come from any thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ovtest/scoped_temp_dir.h"
#include "platform/os/ov_os.h"

namespace ovtest {

class FakeEnvironmentOs final : public ovplatform::Os {
 public:
  FakeEnvironmentOs();
  ~FakeEnvironmentOs() override;
  FakeEnvironmentOs(const FakeEnvironmentOs&) = delete;
  FakeEnvironmentOs& operator=(const FakeEnvironmentOs&) = delete;

  // The temporary home folder; HOME in the fake environment too.
  const std::string& home() const { return home_; }
  void SetEnv(const std::string& name, const std::string& value);
  void UnsetEnv(const std::string& name);
  // Writes `text` to home()/relative_path, creating the folders on the way;
  // answers the full path.
  std::string WriteHomeFile(const std::string& relative_path, const std::string& text);

  std::optional<std::string> GetEnv(const std::string& name) override;
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

 private:
  ovplatform::Os& real_;
  ScopedTempDir home_dir_;
  std::string home_;
  std::mutex mutex_;
  std::map<std::string, std::string> env_;
};

}  // namespace ovtest
