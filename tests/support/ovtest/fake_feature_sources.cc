#include "ovtest/fake_feature_sources.h"

namespace ovtest {

FakeFeatureToggles::FakeFeatureToggles()
    : previous_(Tav::OverrideFeatureToggleProviderForTesting(this)) {}

FakeFeatureToggles::~FakeFeatureToggles() {
  Tav::OverrideFeatureToggleProviderForTesting(previous_);
}

void FakeFeatureToggles::Set(const std::string& name, const std::string& text,
                             const std::string& group) {
  std::lock_guard<std::mutex> lock(mutex_);
  toggles_[{group, name}] = text;
}

void FakeFeatureToggles::Remove(const std::string& name, const std::string& group) {
  std::lock_guard<std::mutex> lock(mutex_);
  toggles_.erase({group, name});
}

std::vector<std::pair<std::string, std::string>> FakeFeatureToggles::queries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queries_;
}

std::optional<std::string> FakeFeatureToggles::GetFeatureToggle(std::string_view name,
                                                                std::string_view group) const {
  std::lock_guard<std::mutex> lock(mutex_);
  queries_.emplace_back(std::string(name), std::string(group));
  auto it = toggles_.find({std::string(group), std::string(name)});
  if (it == toggles_.end()) return std::nullopt;
  return it->second;
}

FakeExperimentMgr::FakeExperimentMgr()
    : previous_(ExperimentFramework::OverrideExperimentMgrForTesting(this)) {}

FakeExperimentMgr::~FakeExperimentMgr() {
  ExperimentFramework::OverrideExperimentMgrForTesting(previous_);
}

void FakeExperimentMgr::Enable(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  enabled_.insert(name);
}

void FakeExperimentMgr::Disable(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  enabled_.erase(name);
}

std::vector<std::string> FakeExperimentMgr::GetEnabledTests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {enabled_.begin(), enabled_.end()};
}

bool FakeExperimentMgr::IsTestEnabled(std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return enabled_.contains(name);
}

}  // namespace ovtest
