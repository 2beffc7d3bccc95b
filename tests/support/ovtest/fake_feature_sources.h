// Feature toggles and experiments set by hand. Each fake is the process's
// provider while it lives (the one it replaced comes back at destruction).
// Any member may be called from any thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tavbiz/experiment_mgr.h"
#include "tavbiz/tav_feature_toggle.h"

namespace ovtest {

class FakeFeatureToggles final : public Tav::IFeatureToggleProvider {
 public:
  FakeFeatureToggles() : previous_(Tav::OverrideFeatureToggleProviderForTesting(this)) {}
  ~FakeFeatureToggles() override { Tav::OverrideFeatureToggleProviderForTesting(previous_); }
  FakeFeatureToggles(const FakeFeatureToggles&) = delete;
  FakeFeatureToggles& operator=(const FakeFeatureToggles&) = delete;

  void Set(const std::string& name, const std::string& text, const std::string& group = "") {
    std::lock_guard lock(mutex_);
    toggles_[{group, name}] = text;
  }
  std::optional<std::string> GetFeatureToggle(std::string_view name,
                                              std::string_view group) const override {
    std::lock_guard lock(mutex_);
    auto it = toggles_.find({std::string(group), std::string(name)});
    return it == toggles_.end() ? std::nullopt : std::optional(it->second);
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, std::string> toggles_;  // (group, name)
  std::optional<Tav::IFeatureToggleProvider*> previous_;
};

class FakeExperimentMgr final : public ExperimentFramework::IExperimentMgr {
 public:
  FakeExperimentMgr() : previous_(ExperimentFramework::OverrideExperimentMgrForTesting(this)) {}
  ~FakeExperimentMgr() override { ExperimentFramework::OverrideExperimentMgrForTesting(previous_); }
  FakeExperimentMgr(const FakeExperimentMgr&) = delete;
  FakeExperimentMgr& operator=(const FakeExperimentMgr&) = delete;

  void Enable(const std::string& name) {
    std::lock_guard lock(mutex_);
    enabled_.insert(name);
  }
  void Disable(const std::string& name) {
    std::lock_guard lock(mutex_);
    enabled_.erase(name);
  }
  std::vector<std::string> GetEnabledTests() const override {
    std::lock_guard lock(mutex_);
    return {enabled_.begin(), enabled_.end()};
  }
  bool IsTestEnabled(std::string_view name) const override {
    std::lock_guard lock(mutex_);
    return enabled_.contains(name);
  }

 private:
  mutable std::mutex mutex_;
  std::set<std::string, std::less<>> enabled_;
  std::optional<ExperimentFramework::IExperimentMgr*> previous_;
};

}  // namespace ovtest
