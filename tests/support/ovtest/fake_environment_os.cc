#include "ovtest/fake_environment_os.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace ovtest {

FakeEnvironmentOs::FakeEnvironmentOs() : real_(ovplatform::GetOs()) {
  std::string pattern = (std::filesystem::temp_directory_path() / "ovtest-home-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  home_ = pattern;
  env_["HOME"] = home_;
  ovplatform::OverrideOsForTesting(this);
}

FakeEnvironmentOs::~FakeEnvironmentOs() {
  ovplatform::OverrideOsForTesting(nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(home_, ignored);
}

void FakeEnvironmentOs::SetEnv(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  env_[name] = value;
}

void FakeEnvironmentOs::UnsetEnv(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  env_.erase(name);
}

std::optional<std::string> FakeEnvironmentOs::GetEnv(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = env_.find(name);
  if (it == env_.end()) return std::nullopt;
  return it->second;
}

std::string FakeEnvironmentOs::WriteHomeFile(const std::string& relative_path,
                                             const std::string& text) {
  const std::filesystem::path path = std::filesystem::path(home_) / relative_path;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  return path.string();
}

}  // namespace ovtest
