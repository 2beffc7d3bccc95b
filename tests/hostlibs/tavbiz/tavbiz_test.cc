#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ovtest/manual_clock.h"
#include "ovtest/scoped_temp_dir.h"
#include "ovtest/task_environment.h"
#include "platform/os/ov_os.h"
#include "tavbiz/admin_settings.h"
#include "tavbiz/admin_settings_store.h"
#include "tavbiz/admin_settings_watcher.h"
#include "tavbiz/experiment_mgr.h"
#include "tavbiz/ov_proxy_info.h"
#include "tavbiz/ov_proxy_list.h"
#include "tavbiz/ov_proxy_server.h"
#include "tavbiz/tav_feature_toggle.h"
#include "tavbiz/tav_policy.h"

namespace Tav {
namespace {

using opref::PolicyValue;

// Good entries are read whatever bad ones stand beside them.
TEST(AdminSettingsTest, ReadsEverySectionAndIgnoresBadEntries) {
  const auto result = ParseAdminSettings(R"({
    "policies": {"52": true, "51": -250, "60": "caf\u00e9", "4294967295": 1,
                 "0": true, "007": true, "-1": 1, "x": 1, "4294967296": 1,
                 "10": 2147483648, "11": 1.5, "12": null, "13": [true]},
    "featureToggles": {"A": "text", "B": true, "C": 42, "D": "", "Obj": {}, "Real": 0.5},
    "featureToggleGroups": {"grp": {"A": "in group"}, "g": "not an object"},
    "experiments": {"On": true, "Off": false, "E": "true"},
    "unknownSection": 1
  })");
  ASSERT_TRUE(result.valid);
  const AdminSettings& s = result.settings;
  EXPECT_EQ(s.policies, (decltype(s.policies){{52, PolicyValue(true)},
                                              {51, PolicyValue(int32_t{-250})},
                                              {60, PolicyValue(std::wstring(L"caf\u00e9"))},
                                              {4294967295u, PolicyValue(int32_t{1})}}));
  EXPECT_EQ(s.toggles.at(""), (std::map<std::string, std::string>{
                                  {"A", "text"}, {"B", "true"}, {"C", "42"}, {"D", ""}}));
  EXPECT_EQ(s.toggles.at("grp").at("A"), "in group");
  EXPECT_EQ(s.toggles.size(), 2u);
  EXPECT_EQ(s.experiments, (std::map<std::string, bool>{{"On", true}, {"Off", false}}));
  // 9 policies, 2 toggles, 1 group, 1 experiment, 1 member.
  EXPECT_EQ(result.problems.size(), 14u);
  // A section of the wrong shape is one problem; the others still count.
  const auto shape = ParseAdminSettings(R"({"policies": [], "experiments": {"E": true}})");
  EXPECT_TRUE(shape.valid && shape.settings.experiments.at("E"));
  EXPECT_EQ(shape.problems.size(), 1u);
}

TEST(AdminSettingsTest, DocumentsThatAreNotAJsonObjectGiveNoValues) {
  const std::string big =
      "{\"featureToggles\": {\"A\": \"" + std::string(kMaxAdminSettingsBytes, 'x') + "\"}}";
  for (const std::string& text : std::vector<std::string>{
           "", "   ", "[1, 2]", "\"policies\"", "{\"policies\": {\"52\": true}",
           "{\"a\": 1} trailing", "{\"a\": 1, \"a\": 2}", "// comment only", big}) {
    const auto result = ParseAdminSettings(text);
    EXPECT_FALSE(result.valid) << text.substr(0, 40);
    EXPECT_TRUE(result.settings.empty()) << text.substr(0, 40);
    if (text.size() < 100) {
      ASSERT_EQ(result.problems.size(), 1u) << text;
      EXPECT_EQ(result.problems[0].find('\n'), std::string::npos) << result.problems[0];
    }
  }
}

// Where the file is looked for. The library reads the real environment (its
// own copy of the operating-system layer), so the test sets the variable.
TEST(AdminSettingsPathTest, TheVariableWinsOverTheMachinesSettingsFolder) {
  constexpr char kVariable[] = "ORVAPROXY_ADMIN_SETTINGS";
  const auto set = [&](const char* value) {
#if defined(_WIN32)
    _putenv_s(kVariable, value == nullptr ? "" : value);  // "" removes it
#else
    (void)(value == nullptr ? unsetenv(kVariable) : setenv(kVariable, value, 1));
#endif
  };
  const std::optional<std::string> saved = ovplatform::GetOs().GetEnv(kVariable);
  set("/srv/custom.json");
  EXPECT_EQ(AdminSettingsPath(), "/srv/custom.json");
  set(nullptr);
#if defined(_WIN32)
  // Below %ProgramData%, in a folder named as on Linux.
  const std::string machine = ovplatform::GetOs().MachineSettingsDirectory();
  EXPECT_FALSE(machine.empty());
  EXPECT_EQ(AdminSettingsPath(), machine + "\\orvaproxy\\admin-settings.json");
#else
  EXPECT_EQ(AdminSettingsPath(), "/etc/orvaproxy/admin-settings.json");
#endif
  set(saved ? saved->c_str() : nullptr);
}

using Calls = std::vector<std::string>;

// Records what a subscriber hears, as text (the store calls on the test thread).
struct RecordingObserver : opref::IPolicyUpdateObserver {
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
  void Add(std::string call) { calls.push_back(std::move(call)); }
  Calls Take() { return std::exchange(calls, {}); }
  Calls calls;
};

AdminSettingsStore::LogSink LogTo(std::vector<std::string>& log) {
  return [&log](int32_t level, const std::string& message) {
    log.push_back(std::to_string(level) + " " + message);
  };
}

// A store over a source held in memory, with its log lines captured.
class AdminSettingsStoreTest : public ::testing::Test {
 protected:
  AdminSettingsStoreTest()
      : store_(
            "memory", [this] { return source_; }, LogTo(log_)) {}

  void SetText(std::string text) {
    source_ = {AdminSettingsSource::Status::kOk, std::move(text), {}};
  }
  int Warnings() const {
    return std::ranges::count_if(log_, [](const std::string& l) { return l.starts_with("3 "); });
  }

  AdminSettingsSource source_;
  std::vector<std::string> log_;
  AdminSettingsStore store_;
  RecordingObserver observer_;
};

TEST_F(AdminSettingsStoreTest, ReadyOnceForEachSubscriberThenOnlySubscribedChanges) {
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
  store_.UnsubscribePolicyUpdate(&observer_);

  // Then only changed ids that were subscribed are reported.
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

TEST_F(AdminSettingsStoreTest, MissingMalformedOrThrowingSourceMeansNoValuesAndOneWarning) {
  source_ = {AdminSettingsSource::Status::kMissing, {}, {}};
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

  // A reader that throws counts as unreadable.
  AdminSettingsStore throwing(
      "throwing", []() -> AdminSettingsSource { throw std::runtime_error("disk on fire"); },
      LogTo(log_));
  throwing.CheckForChanges();
  EXPECT_TRUE(throwing.IsReady());
  ASSERT_EQ(Warnings(), 3);
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
}

// The process-wide query functions read whatever provider is installed; the
// adapter reads through them. A value of another type is no value at all,
// never a converted one.
TEST_F(AdminSettingsStoreTest, InstalledQueriesAcceptFittingTypesOnly) {
  opref::OverridePolicyProviderForTesting(&store_);
  OverrideFeatureToggleProviderForTesting(&store_);
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
  opref::OverridePolicyProviderForTesting(std::nullopt);
  OverrideFeatureToggleProviderForTesting(std::nullopt);
}

// The real file: it may appear later, be replaced by rename (as editors and
// deployment tools do) or be a directory.
TEST(AdminSettingsFileTest, ReadsWhateverIsAtThePathAtEachCheck) {
  namespace fs = std::filesystem;
  ovtest::ScopedTempDir dir("admset");
  const fs::path path = fs::path(dir.path()) / "admin-settings.json";
  std::vector<std::string> log;
  AdminSettingsStore store(path.string(), AdminSettingsStore::FileReader(path.string()),
                           LogTo(log));
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

  // (ms advanced, reads): one check per due time, never a burst.
  const std::pair<int, int> steps[] = {{0, 1}, {1999, 1}, {1, 2}, {2000, 3}, {4000, 4}};
  for (const auto& [advance, expected_reads] : steps) {
    clock.Advance(std::chrono::milliseconds(advance));
    env.RunUntilIdle();
    EXPECT_EQ(reads, expected_reads) << "after " << advance << " ms more";
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

namespace OVProxy {
namespace {

TEST(ProxyServer, FromStringGrammar) {
  const std::pair<const char*, const char*> cases[] = {
      // text, "scheme host port" or "" when rejected
      {"  proxy.corp:3128 ", "HTTP proxy.corp 3128"},
      {"proxy", "HTTP proxy 80"},
      {"https://h", "HTTPS h 443"},
      {"socks://h", "SOCKS5 h 1080"},
      {"PROXY a:80", "HTTP a 80"},
      {"SOCKS5 s:1080", "SOCKS5 s 1080"},
      {"direct", "DIRECT  0"},
      {"[::1]:3128", "HTTP [::1] 3128"},
      {"::1", "HTTP [::1] 80"},
      {"h:0065535", "HTTP h 65535"},
      {"", ""},
      {":80", ""},
      {"ftp://h:21", ""},
      {"user@h:80", ""},
      {"h/path:80", ""},
      {"QUIC h:443", ""},
  };
  for (const auto& [text, want] : cases) {
    const std::optional<ovProxyServer> server = ovProxyServer::FromString(text);
    const std::string parsed =
        server ? server->scheme + " " + server->host + " " + std::to_string(server->port) : "";
    EXPECT_EQ(parsed, want) << '"' << text << '"';
    EXPECT_TRUE(!server || server->isValid()) << text;
  }
}

TEST(ProxyServer, PacFormAndEqualityIgnoreCredentials) {
  ovProxyServer a("a", 80, "HTTP");
  ovProxyServer b = a;
  b.setCredentials("user", "secret");
  EXPECT_EQ(a, b);
  EXPECT_EQ(b.ToPacString(), "PROXY a:80");
  EXPECT_EQ(ovProxyServer("s", 1080, "socks4").ToPacString(), "SOCKS4 s:1080");
}

TEST(ProxyList, SetAcceptsSeveralSeparatorsAndSkipsBadEntries) {
  ovProxyList list;
  list.Set("x:1");
  list.Set("a:80; b:81 ,c:82\td:0 socks5://s:1080");
  EXPECT_EQ(list.ToPacString(), "PROXY a:80; PROXY b:81; PROXY c:82; SOCKS5 s:1080");
  list.Set("");
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_FALSE(list.First().isValid());  // out of range: not a crash
}

TEST(ProxyInfo, UseNamedProxyReadsResolverOutput) {
  const std::pair<const char*, const char*> cases[] = {
      {"HTTPS://h:443; SOCKS4://s:1080; SOCKS5://t:1081; p:80; DIRECT",
       "HTTPS h:443; SOCKS4 s:1080; SOCKS5 t:1081; PROXY p:80; DIRECT"},
      {"HTTPS://h", "HTTPS h:443"},  // a port of 0 is left out by producers
      {";; bad:port ;", ""},
  };
  for (const auto& [text, answer] : cases) {
    ovProxyInfo info;
    info.UseNamedProxy(text);
    EXPECT_EQ(info.ToPacString(), answer) << text;
  }
  EXPECT_FALSE(ovProxyInfo().At(7).isValid());  // out of range: not a crash
}

}  // namespace
}  // namespace OVProxy
