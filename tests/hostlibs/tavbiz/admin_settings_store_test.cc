#include "tavbiz/admin_settings_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"
#include "tavbiz/admin_settings_watcher.h"
#include "tavbiz/experiment_mgr.h"
#include "tavbiz/tav_feature_toggle.h"
#include "tavbiz/tav_policy.h"

namespace Tav {
namespace {

using opref::oPolicyId;
using opref::PolicyValue;

// Records what a subscriber hears, as text.
class RecordingObserver : public opref::IPolicyUpdateObserver {
 public:
  void OnPolicyLoadFailed() override { Add("failed"); }
  void OnPolicyReady() override { Add("ready"); }
  void OnPolicyReloaded() override { Add("reloaded"); }
  void OnPolicyUpdated(const opref::PolicyUpdateMap& updated) override {
    std::string text = "updated";
    for (const auto& [id, item] : updated) {
      text += " " + std::to_string(id) + (item->GetValue() == nullptr ? "=gone" : "");
      EXPECT_EQ(item->GetPolicyId(), id);
    }
    Add(text);
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(calls_, {});
  }

 protected:
  virtual void Add(std::string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

using Calls = std::vector<std::string>;

// A store over a source held in memory, with its log lines captured.
class AdminSettingsStoreTest : public ::testing::Test {
 protected:
  AdminSettingsStoreTest()
      : store_(
            "memory", [this] { return source_; },
            [this](int32_t level, const std::string& message) {
              log_.push_back(std::to_string(level) + " " + message);
            }) {}

  void SetText(std::string text) {
    source_ = {AdminSettingsSource::Status::kOk, std::move(text), {}};
  }
  void SetMissing() { source_ = {AdminSettingsSource::Status::kMissing, {}, {}}; }
  int Warnings() const {
    int n = 0;
    for (const std::string& line : log_) n += line.starts_with("3 ") ? 1 : 0;
    return n;
  }

  AdminSettingsSource source_;
  std::vector<std::string> log_;
  AdminSettingsStore store_;
  RecordingObserver observer_;
};

TEST_F(AdminSettingsStoreTest, FirstLoadMakesItReadyOnceForEachSubscriber) {
  SetText(R"({"policies": {"52": true}})");
  ASSERT_TRUE(store_.SubscribePolicyUpdate(&observer_, {52}, 0, 0));
  EXPECT_TRUE(observer_.Take().empty());
  EXPECT_FALSE(store_.IsReady());
  EXPECT_FALSE(store_.GetPolicyValue(52).has_value());

  store_.CheckForChanges();
  EXPECT_TRUE(store_.IsReady());
  EXPECT_EQ(observer_.Take(), Calls{"ready"});
  EXPECT_EQ(store_.GetPolicyValue(52), PolicyValue(true));

  // Subscribing again adds ids, without a second "ready".
  store_.SubscribePolicyUpdate(&observer_, {53}, 0, 0);
  EXPECT_TRUE(observer_.Take().empty());
  // A late subscriber hears "ready" at once.
  RecordingObserver late;
  store_.SubscribePolicyUpdate(&late, {}, 0, 0);
  EXPECT_EQ(late.Take(), Calls{"ready"});
  EXPECT_FALSE(store_.SubscribePolicyUpdate(nullptr, {52}, 0, 0));
  store_.UnsubscribePolicyUpdate(&late);
}

TEST_F(AdminSettingsStoreTest, ReportsOnlyChangedIdsThatWereSubscribed) {
  SetText(R"({"policies": {"1": true, "2": 5, "3": "a"}})");
  store_.CheckForChanges();
  store_.SubscribePolicyUpdate(&observer_, {1, 2, 4}, 0, 0);
  RecordingObserver all;
  store_.SubscribePolicyUpdate(&all, {}, 0, 0);
  observer_.Take();
  all.Take();

  // 1 unchanged, 2 changed, 3 removed (not subscribed by observer_), 4 added.
  SetText(R"({"policies": {"1": true, "2": 6, "4": false}})");
  store_.CheckForChanges();
  EXPECT_EQ(observer_.Take(), (Calls{"reloaded", "updated 2 4"}));
  EXPECT_EQ(all.Take(), (Calls{"reloaded", "updated 2 3=gone 4"}));

  // The same text again is no change at all; a change elsewhere reloads
  // without an update.
  store_.CheckForChanges();
  EXPECT_TRUE(observer_.Take().empty());
  SetText(R"({"policies": {"1": true, "2": 6, "4": false}, "experiments": {"E": true}})");
  store_.CheckForChanges();
  EXPECT_EQ(observer_.Take(), Calls{"reloaded"});
  EXPECT_EQ(all.Take(), Calls{"reloaded"});

  store_.UnsubscribePolicyUpdate(&observer_);
  store_.UnsubscribePolicyUpdate(&all);
  SetText(R"({"policies": {}})");
  store_.CheckForChanges();
  EXPECT_TRUE(observer_.Take().empty());
  EXPECT_TRUE(all.Take().empty());
}

TEST_F(AdminSettingsStoreTest, MissingOrMalformedSourceMeansNoValuesAndOneWarning) {
  SetMissing();
  store_.CheckForChanges();
  store_.CheckForChanges();
  EXPECT_TRUE(store_.IsReady());
  EXPECT_EQ(Warnings(), 1);

  SetText(R"({"policies": {"52": true}, "featureToggles": {"T": "1"}})");
  store_.CheckForChanges();
  store_.SubscribePolicyUpdate(&observer_, {52}, 0, 0);
  observer_.Take();
  EXPECT_EQ(Warnings(), 1);

  SetText(R"({"policies": {"52": true)");  // cut short while being written
  store_.CheckForChanges();
  store_.CheckForChanges();
  EXPECT_EQ(Warnings(), 2);
  EXPECT_EQ(observer_.Take(), (Calls{"failed", "reloaded", "updated 52=gone"}));
  EXPECT_FALSE(store_.GetPolicyValue(52).has_value());
  EXPECT_FALSE(store_.GetFeatureToggle("T", "").has_value());
  store_.UnsubscribePolicyUpdate(&observer_);
}

TEST_F(AdminSettingsStoreTest, ReaderThatThrowsCountsAsUnreadable) {
  AdminSettingsStore store(
      "throwing", []() -> AdminSettingsSource { throw std::runtime_error("disk on fire"); },
      [this](int32_t level, const std::string& message) {
        log_.push_back(std::to_string(level) + " " + message);
      });
  store.CheckForChanges();
  EXPECT_TRUE(store.IsReady());
  ASSERT_EQ(Warnings(), 1);
  EXPECT_NE(log_.back().find("disk on fire"), std::string::npos);
}

TEST_F(AdminSettingsStoreTest, ExperimentDefaultsGiveWayToTheSettings) {
  store_.SetExperimentDefaults({{"Builtin", true}, {"Dormant", false}});
  const struct {
    const char* text;
    bool builtin;
    std::vector<std::string> enabled;
  } cases[] = {
      {"{}", true, {"Builtin"}},
      {R"({"experiments": {"Builtin": false}})", false, {}},
      {R"({"experiments": {"Dormant": true}})", true, {"Builtin", "Dormant"}},
      {"not json", true, {"Builtin"}},
  };
  for (const auto& c : cases) {
    SetText(c.text);
    store_.CheckForChanges();
    EXPECT_EQ(store_.IsTestEnabled("Builtin"), c.builtin) << c.text;
    EXPECT_EQ(store_.GetEnabledTests(), c.enabled) << c.text;
  }
  EXPECT_TRUE(BuiltInExperimentDefaults().at("UseFileXfer"));
}

// The process-wide query functions read whatever provider is installed.
class InstalledStoreTest : public AdminSettingsStoreTest {
 protected:
  InstalledStoreTest() {
    opref::OverridePolicyProviderForTesting(&store_);
    OverrideFeatureToggleProviderForTesting(&store_);
    ExperimentFramework::OverrideExperimentMgrForTesting(&store_);
  }
  ~InstalledStoreTest() override {
    opref::OverridePolicyProviderForTesting(std::nullopt);
    OverrideFeatureToggleProviderForTesting(std::nullopt);
    ExperimentFramework::OverrideExperimentMgrForTesting(std::nullopt);
  }
};

// The adapter reads through these queries; a value of another type is no
// value at all, never a converted one.
TEST_F(InstalledStoreTest, QueriesAcceptFittingTypesOnly) {
  SetText(R"({"policies": {"1": true, "3": 7, "4": "text"}, "featureToggles": {"T": "on"}})");
  store_.CheckForChanges();
  int32_t value = -99;
  EXPECT_NE(QueryBooleanPolicyValueFromMemory(1, value), 0);
  EXPECT_EQ(value, 1);
  EXPECT_NE(QueryInt32PolicyValueFromMemory(3, value), 0);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(QueryInt32PolicyValueFromMemory(4, value), 0);
  std::wstring text;
  EXPECT_EQ(QueryStringPolicyValueFromMemory(3, text), 0);
  EXPECT_NE(QueryStringPolicyValueFromMemory(4, text), 0);
  EXPECT_EQ(text, L"text");
  std::string toggle;
  EXPECT_EQ(QueryFeatureToggle("T", "", "dflt", toggle), 1);
  EXPECT_EQ(toggle, "on");
  EXPECT_EQ(QueryFeatureToggle("Missing", "", "dflt", toggle), 0);
  EXPECT_EQ(toggle, "dflt");
}

// The real file: it may appear later, be replaced by rename (as editors and
// deployment tools do) or be a directory.
TEST(AdminSettingsFileTest, ReadsWhateverIsAtThePathAtEachCheck) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::path(::testing::TempDir()) / ("admin_settings_" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const fs::path path = dir / "admin-settings.json";
  std::vector<std::string> log;
  AdminSettingsStore store(path.string(), AdminSettingsStore::FileReader(path.string()),
                           [&](int32_t level, const std::string& message) {
                             log.push_back(std::to_string(level) + " " + message);
                           });
  store.CheckForChanges();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("file missing"), std::string::npos) << log[0];

  std::ofstream(path.string() + ".tmp") << R"({"policies": {"52": true}})";
  fs::rename(path.string() + ".tmp", path);
  store.CheckForChanges();
  EXPECT_EQ(store.GetPolicyValue(52), PolicyValue(true));

  fs::remove(path);
  fs::create_directory(path);
  store.CheckForChanges();
  EXPECT_NE(log.back().find("file unreadable"), std::string::npos) << log.back();
  fs::remove_all(dir);
}

// The watcher checks on its runner once per interval of the clock, and an
// observer of a check may stop it.
TEST(AdminSettingsWatcherTest, ChecksOncePerIntervalUntilStopped) {
  ovtest::ManualClock clock;
  ovtest::TaskEnvironment env(AdminSettingsWatcher::kRunnerName);
  std::string text = R"({"policies": {"52": true}})";
  int reads = 0;
  AdminSettingsStore store(
      "memory",
      [&] {
        ++reads;
        return AdminSettingsSource{AdminSettingsSource::Status::kOk, text, {}};
      },
      nullptr);
  store.CheckForChanges();

  struct StoppingObserver : RecordingObserver {
    void OnPolicyUpdated(const opref::PolicyUpdateMap& updated) override {
      RecordingObserver::OnPolicyUpdated(updated);
      watcher->Stop();
    }
    AdminSettingsWatcher* watcher = nullptr;
  } observer;
  AdminSettingsWatcher watcher(store, std::chrono::seconds(2));
  observer.watcher = &watcher;
  store.SubscribePolicyUpdate(&observer, {52}, 0, 0);

  const std::pair<std::chrono::milliseconds, int> steps[] = {
      {std::chrono::milliseconds(0), 1},    {std::chrono::milliseconds(1999), 1},
      {std::chrono::milliseconds(1), 2},    {std::chrono::milliseconds(2000), 3},
      {std::chrono::milliseconds(4000), 4},  // one check per due time, never a burst
  };
  for (const auto& [advance, expected_reads] : steps) {
    clock.Advance(advance);
    env.RunUntilIdle();
    EXPECT_EQ(reads, expected_reads) << "after " << advance.count() << " ms more";
  }
  text = R"({"policies": {"52": 0}})";
  clock.Advance(std::chrono::seconds(2));
  env.RunUntilIdle();
  EXPECT_EQ(store.GetPolicyValue(52), PolicyValue(int32_t{0}));
  EXPECT_EQ(observer.Take(), (Calls{"ready", "reloaded", "updated 52"}));
  clock.Advance(std::chrono::seconds(10));
  env.RunUntilIdle();
  EXPECT_EQ(reads, 5) << "stopped by the observer";
  store.UnsubscribePolicyUpdate(&observer);
}

}  // namespace
}  // namespace Tav
