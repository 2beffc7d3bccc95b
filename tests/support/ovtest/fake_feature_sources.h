// Fakes of the business library's feature toggles and experiment manager.
// Each is the process's provider while it lives (the one it replaced comes
// back at destruction), with values set by hand.
//
// Thread-safety: every operation may be called from any thread.
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
  FakeFeatureToggles();
  ~FakeFeatureToggles() override;
  FakeFeatureToggles(const FakeFeatureToggles&) = delete;
  FakeFeatureToggles& operator=(const FakeFeatureToggles&) = delete;

  void Set(const std::string& name, const std::string& text, const std::string& group = "");
  void Remove(const std::string& name, const std::string& group = "");
  // Every (name, group) asked for, in order.
  std::vector<std::pair<std::string, std::string>> queries() const;

  std::optional<std::string> GetFeatureToggle(std::string_view name,
                                              std::string_view group) const override;

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, std::string> toggles_;  // (group, name)
  mutable std::vector<std::pair<std::string, std::string>> queries_;
  std::optional<Tav::IFeatureToggleProvider*> previous_;
};

class FakeExperimentMgr final : public ExperimentFramework::IExperimentMgr {
 public:
  FakeExperimentMgr();
  ~FakeExperimentMgr() override;
  FakeExperimentMgr(const FakeExperimentMgr&) = delete;
  FakeExperimentMgr& operator=(const FakeExperimentMgr&) = delete;

  void Enable(const std::string& name);
  void Disable(const std::string& name);

  std::vector<std::string> GetEnabledTests() const override;
  bool IsTestEnabled(std::string_view name) const override;

 private:
  mutable std::mutex mutex_;
  std::set<std::string, std::less<>> enabled_;
  std::optional<ExperimentFramework::IExperimentMgr*> previous_;
};

}  // namespace ovtest
