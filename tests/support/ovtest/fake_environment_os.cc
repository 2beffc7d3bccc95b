#include "ovtest/fake_environment_os.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace ovtest {

FakeEnvironmentOs::FakeEnvironmentOs() : real_(ovplatform::GetOs()), home_dir_("ovtest-home-") {
  if (home_dir_.path().empty()) throw std::runtime_error("no temporary home folder");
  home_ = home_dir_.path();
  env_["HOME"] = home_;
  ovplatform::OverrideOsForTesting(this);
}

FakeEnvironmentOs::~FakeEnvironmentOs() {
  ovplatform::OverrideOsForTesting(nullptr);
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
