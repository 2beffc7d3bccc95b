#include "OrvaProxy/ov_proxy_enterprise_adapter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "OrvaProxy/ov_telemetry_reporter.h"
#include "ovtest/fake_feature_sources.h"
#include "ovtest/fake_policy_provider.h"
#include "ovtest/fake_telemetry_module.h"
#include "ovtest/manual_clock.h"
#include "tavbiz/tav_process_type.h"

namespace OVProxy {
namespace {

using ::testing::ElementsAre;
using Type = FeatureValue::Type;

// A fresh adapter for each test (the module's own is a process singleton).
class TestAdapter : public ovProxyEnterpriseAdapter {};

// Records notifications as "name=value" text. With `reenter` set it reads
// the feature back and unregisters itself from within the call.
struct RecordingObserver : IFeatureChangeObserver {
  void OnFeatureChanged(const std::string& name, FeatureSource source,
                        const FeatureValue& value) override {
    EXPECT_EQ(source, FeatureSource::Policy);
    calls.push_back(name + "=" +
                    (value.type == Type::Bool   ? value.bool_value ? "true" : "false"
                     : value.type == Type::Int  ? std::to_string(value.int_value)
                     : value.type == Type::None ? "none"
                                                : "'" + value.string_value + "'"));
    if (!reenter) return;
    calls.push_back(reenter->GetFeatureBool(name, source, false, 0) ? "read true" : "read false");
    reenter->UnregisterFeatureObserver(name, this);
  }
  std::vector<std::string> calls;
  ovProxyEnterpriseAdapter* reenter = nullptr;
};

// Runs each function `rounds` times on a thread of its own, all let go at once.
void RunTogether(int rounds, const std::vector<std::function<void(int)>>& functions) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (const auto& function : functions) {
    threads.emplace_back([&go, &function, rounds] {
      while (!go) {
      }
      for (int i = 0; i < rounds; ++i) function(i);
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
}

class EnterpriseAdapterTest : public ::testing::Test {
 protected:
  // Declared before the adapter: the adapter unsubscribes from them when it
  // is destroyed.
  ovtest::FakePolicyProvider policies_;
  ovtest::FakeFeatureToggles toggles_;
  ovtest::FakeExperimentMgr experiments_;
  TestAdapter adapter_;

  bool Bool(const char* name, FeatureSource source, bool fallback) {
    return adapter_.GetFeatureBool(name, source, fallback, 0);
  }
  bool Policy(const char* name, bool fallback) {
    return Bool(name, FeatureSource::Policy, fallback);
  }
};

TEST_F(EnterpriseAdapterTest, InitializeRegistersLoadsAndSubscribesTheMonitoredFeatures) {
  policies_.Set(52, true);
  policies_.Set(51, int32_t{750});
  policies_.Set(50, int32_t{2});  // a boolean policy other than 1 reads as false
  experiments_.Enable("ProxyDirectFirstFlag");
  // Before Initialize there is no experiment manager.
  EXPECT_FALSE(adapter_.HasFeatureInSource("ProxyDirectFirstFlag", FeatureSource::Experiment));
  adapter_.Initialize();
  adapter_.Initialize();  // once only
  ASSERT_EQ(policies_.subscribe_calls(), 1);
  EXPECT_EQ(policies_.SubscribedIds(&adapter_), std::set<oPolicyId>{52});
  EXPECT_TRUE(Policy("ProxyDirectFirstFlag", false));
  EXPECT_EQ(adapter_.GetFeatureInt("ProxyPKRequestDelay", FeatureSource::Policy, -1, 0), 750);
  EXPECT_FALSE(Policy("TryPKRequestDirectFirst", true));
  // Read as the registered type only: the Int getter on a Bool feature
  // answers its default.
  EXPECT_EQ(adapter_.GetFeatureInt("ProxyDirectFirstFlag", FeatureSource::Policy, 9, 0), 9);
  // Sources are never merged; an unknown source selects nothing.
  EXPECT_FALSE(Bool("ProxyDirectFirstFlag", FeatureSource::FeatureToggle, false));
  EXPECT_TRUE(Bool("ProxyDirectFirstFlag", static_cast<FeatureSource>(7), true));
  // An experiment is true when enabled and absent otherwise.
  EXPECT_TRUE(Bool("ProxyDirectFirstFlag", FeatureSource::Experiment, false));
  EXPECT_FALSE(adapter_.HasFeatureInSource("TryPKRequestDirectFirst", FeatureSource::Experiment));
  EXPECT_TRUE(Bool("TryPKRequestDirectFirst", FeatureSource::Experiment, true));
  // Unregistered names are asked directly, and stay unregistered.
  experiments_.Enable("Elsewhere");
  EXPECT_TRUE(adapter_.HasFeatureInSource("Elsewhere", FeatureSource::Experiment));
  EXPECT_FALSE(adapter_.HasFeatureInSource("Elsewhere", FeatureSource::Policy));
  EXPECT_FALSE(Bool("Elsewhere", FeatureSource::Experiment, false));
}

TEST_F(EnterpriseAdapterTest, UnregisteredNamesWithoutPolicyIdStayUnregisteredExceptForStrings) {
  toggles_.Set("WinInetOnly", "true");
  toggles_.Set("Label", "blue");
  adapter_.Initialize();
  EXPECT_FALSE(Bool("WinInetOnly", FeatureSource::FeatureToggle, false));
  EXPECT_EQ(adapter_.GetFeatureInt("WinInetOnly", FeatureSource::FeatureToggle, 3, 0), 3);
  RecordingObserver observer;
  adapter_.RegisterFeatureObserver("WinInetOnly", &observer);  // not registered: ignored
  policies_.Set(52, false);
  policies_.DeliverReady();
  EXPECT_THAT(observer.calls, ElementsAre());
  // The String getter registers the name and loads toggle and experiment.
  EXPECT_EQ(adapter_.GetFeatureString("Label", FeatureSource::FeatureToggle, "x", 0), "blue");
  toggles_.Set("Label", "green");
  EXPECT_EQ(adapter_.GetFeatureString("Label", FeatureSource::FeatureToggle, "x", 0), "blue");
  adapter_.RefreshAllFeatures();
  EXPECT_EQ(adapter_.GetFeatureString("Label", FeatureSource::FeatureToggle, "x", 0), "green");
  // A Bool getter with a policy id registers the name and reads the policy.
  policies_.Set(77, true);
  EXPECT_TRUE(adapter_.GetFeatureBool("NewSwitch", FeatureSource::Policy, false, 77));
  EXPECT_TRUE(adapter_.HasFeature("NewSwitch"));
}

TEST_F(EnterpriseAdapterTest, TypesToggleTexts) {
  const struct {
    const char* text;
    Type type;
    bool b;
    int32_t i;
    const char* s;
  } cases[] = {
      {"false", Type::Bool, false, 0, ""},      {"1", Type::Bool, true, 0, ""},
      {"True", Type::String, false, 0, "True"}, {"", Type::String, false, 0, ""},
      {"-7", Type::Int, false, -7, ""},         {"-", Type::Int, false, 0, ""},
      {"10ms", Type::Int, false, 10, ""},       {" 5", Type::String, false, 0, " 5"},
  };
  adapter_.Initialize();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("toggle text '") + c.text + "'");
    const std::string name = std::string("T_") + c.text;
    toggles_.Set(name, c.text);
    // The String getter registers any name; the slot keeps the typed value.
    const std::string s = adapter_.GetFeatureString(name, FeatureSource::FeatureToggle, "<d>", 0);
    EXPECT_EQ(s, c.type == Type::String ? c.s : "<d>");
    adapter_.RegisterFeature(name, 0, Type::Bool, false);
    adapter_.LoadFeature(name);
    EXPECT_EQ(adapter_.GetFeatureBool(name, FeatureSource::FeatureToggle, !c.b, 0),
              c.type == Type::Bool ? c.b : !c.b);
    EXPECT_EQ(adapter_.GetFeatureInt(name, FeatureSource::FeatureToggle, -100, 0),
              c.type == Type::Int ? c.i : -100);
  }
}

TEST_F(EnterpriseAdapterTest, PolicyUpdatesNotifyOnlyRealChangesOfMonitoredFeatures) {
  policies_.Set(52, true);
  adapter_.Initialize();
  // Every monitored feature sharing the id is updated.
  adapter_.RegisterFeature("AlsoDirectFirst", 52, Type::Bool, true);
  adapter_.LoadFeature("AlsoDirectFirst");
  RecordingObserver observer;
  adapter_.RegisterFeatureObserver("AlsoDirectFirst", &observer);
  adapter_.RegisterFeatureObserver("ProxyDirectFirstFlag", &observer);
  adapter_.RegisterFeatureObserver("TryPKRequestDirectFirst", &observer);
  policies_.Set(52, false);
  policies_.DeliverUpdate({52});
  EXPECT_THAT(observer.calls, ElementsAre("AlsoDirectFirst=false", "ProxyDirectFirstFlag=false"));
  EXPECT_FALSE(Policy("AlsoDirectFirst", true));
  adapter_.UnregisterFeatureObserver("AlsoDirectFirst", &observer);
  observer.calls.clear();
  policies_.DeliverUpdate({52});  // same value again: silent
  policies_.Remove(52);
  policies_.DeliverUpdate({52});  // removal: notified with no value
  policies_.DeliverUpdate({52});  // still none: notified again
  EXPECT_THAT(observer.calls,
              ElementsAre("ProxyDirectFirstFlag=none", "ProxyDirectFirstFlag=none"));
  EXPECT_TRUE(Policy("ProxyDirectFirstFlag", true));
  // Id 50 belongs to a feature that is not monitored: nothing happens.
  observer.calls.clear();
  policies_.Set(50, true);
  adapter_.OnPolicyUpdated({{50, nullptr}});
  EXPECT_THAT(observer.calls, ElementsAre());
  EXPECT_FALSE(Policy("TryPKRequestDirectFirst", false));
}

TEST_F(EnterpriseAdapterTest, ReadyLoadsEveryPolicyAndNotifiesMonitoredOnesWithValues) {
  adapter_.Initialize();
  RecordingObserver observer;
  adapter_.RegisterFeatureObserver("ProxyDirectFirstFlag", &observer);
  adapter_.RegisterFeatureObserver("ProxyDirectFirstFlag", &observer);  // duplicates allowed
  adapter_.RegisterFeatureObserver("ProxyPKRequestDelay", &observer);
  adapter_.RegisterFeatureObserver("ProxyDirectFirstFlag", nullptr);
  policies_.Set(51, int32_t{300});
  policies_.DeliverReady();  // 52 has no value: no notification yet
  EXPECT_THAT(observer.calls, ElementsAre());
  EXPECT_EQ(adapter_.GetFeatureInt("ProxyPKRequestDelay", FeatureSource::Policy, 0, 0), 300);
  policies_.Set(52, true);
  policies_.DeliverReady();
  policies_.DeliverReady();  // whether or not the value changed
  EXPECT_THAT(observer.calls,
              ElementsAre("ProxyDirectFirstFlag=true", "ProxyDirectFirstFlag=true",
                          "ProxyDirectFirstFlag=true", "ProxyDirectFirstFlag=true"));
  observer.calls.clear();
  adapter_.UnregisterFeatureObserver("ProxyDirectFirstFlag", &observer);  // every occurrence
  policies_.DeliverReady();
  EXPECT_THAT(observer.calls, ElementsAre());
}

TEST_F(EnterpriseAdapterTest, ObserverMayCallBackIntoTheAdapter) {
  adapter_.Initialize();
  RecordingObserver observer;
  observer.reenter = &adapter_;
  adapter_.RegisterFeatureObserver("ProxyDirectFirstFlag", &observer);
  policies_.Set(52, true);
  policies_.DeliverUpdate({52});
  policies_.DeliverUpdate({52});
  EXPECT_THAT(observer.calls, ElementsAre("ProxyDirectFirstFlag=true", "read true"));
}

TEST_F(EnterpriseAdapterTest, UninitializeForgetsFeaturesButKeepsObservers) {
  policies_.Set(52, true);
  experiments_.Enable("ProxyDirectFirstFlag");
  adapter_.Initialize();
  RecordingObserver observer;
  adapter_.RegisterFeatureObserver("ProxyDirectFirstFlag", &observer);
  adapter_.Uninitialize();
  EXPECT_EQ(policies_.unsubscribe_calls(), 1);
  EXPECT_FALSE(policies_.SubscribedIds(&adapter_).has_value());
  EXPECT_FALSE(adapter_.HasFeature("ProxyDirectFirstFlag"));
  EXPECT_FALSE(Policy("ProxyDirectFirstFlag", false));
  adapter_.RefreshAllFeatures();  // not initialised: nothing
  EXPECT_FALSE(adapter_.HasFeature("ProxyDirectFirstFlag"));
  // Initialising again brings the features back; the observer is still there.
  adapter_.Initialize();
  policies_.Set(52, false);
  policies_.DeliverUpdate({52});
  EXPECT_THAT(observer.calls, ElementsAre("ProxyDirectFirstFlag=false"));
}

TEST_F(EnterpriseAdapterTest, MonitoredGetterSubscribesToItsPolicyOnceInitialised) {
  policies_.Set(60, std::wstring(L"pac"));
  EXPECT_EQ(adapter_.GetFeatureStringImpl("Early", FeatureSource::Policy, "", 60, true), "pac");
  EXPECT_EQ(policies_.subscribe_calls(), 0);
  adapter_.Initialize();
  EXPECT_EQ(adapter_.GetFeatureStringImpl("Late", FeatureSource::Policy, "", 61, true), "");
  EXPECT_EQ(adapter_.GetFeatureStringImpl("NoId", FeatureSource::Policy, "d", 0, true), "d");
  // Initialize subscribed the monitored feature registered before it, too.
  EXPECT_EQ(policies_.SubscribedIds(&adapter_), (std::set<oPolicyId>{52, 60, 61}));
  RecordingObserver observer;
  adapter_.RegisterFeatureObserver("Late", &observer);
  policies_.Set(61, std::wstring(L"x"));
  policies_.DeliverUpdate({61});
  EXPECT_THAT(observer.calls, ElementsAre("Late='x'"));
}

// Initialize, RegisterFeature, the getters, observers and policy deliveries
// from several threads at once: no data race (checked under the thread
// sanitizer), no deadlock, and the table ends consistent.
TEST_F(EnterpriseAdapterTest, ConcurrentUseIsSafe) {
  policies_.Set(52, true);
  toggles_.Set("Dyn0", "1");
  RecordingObserver observer;
  RunTogether(300, {[&](int i) {
                      adapter_.Initialize();
                      if (i % 7 == 6) adapter_.Uninitialize();
                    },
                    [&](int i) {
                      adapter_.RegisterFeature("Dyn" + std::to_string(i % 5), 52, Type::Bool, true);
                      adapter_.LoadFeature("Dyn" + std::to_string(i % 5));
                    },
                    [&](int) {
                      adapter_.RegisterFeatureObserver("ProxyDirectFirstFlag", &observer);
                      (void)Policy("ProxyDirectFirstFlag", false);
                      (void)Bool("Dyn0", FeatureSource::FeatureToggle, false);
                      (void)adapter_.HasFeature("Dyn1");
                      adapter_.UnregisterFeatureObserver("ProxyDirectFirstFlag", &observer);
                    },
                    [&](int i) {
                      policies_.Set(52, i % 2 == 0);
                      policies_.DeliverUpdate({52});
                      if (i % 10 == 0) policies_.DeliverReady();
                      adapter_.RefreshAllFeatures();
                    }});
  adapter_.Initialize();
  policies_.Set(52, true);
  adapter_.RefreshAllFeatures();
  EXPECT_TRUE(Policy("ProxyDirectFirstFlag", false));
  EXPECT_EQ(policies_.SubscribedIds(&adapter_), std::set<oPolicyId>{52});
}

using Field = orvaus::TelemetryField;

// A fresh reporter per test, so that each starts without a summary sent.
class TestReporter : public ovTelemetryReporter {};

class TelemetryReporterTest : public ::testing::Test {
 protected:
  ~TelemetryReporterTest() override { Tav::SetProcessType(Tav::kProcessTypeUnknown); }
  ovtest::ManualClock clock_;
  TestReporter reporter_;
};

ovProxyInfo Info(const char* pac) {
  ovProxyInfo info;
  info.UseNamedProxy(pac);
  return info;
}

TEST_F(TelemetryReporterTest, WithoutTheModuleOrWithOneThatThrowsReportsDoNoHarm) {
  reporter_.reportLatency(18, 5);
  reporter_.reportLatency(23, 5, "label", 2);
  reporter_.reportEvent(1, 0);
  reporter_.reportConfigSummary(ovProxyConfig());
  // Registered later, the module is found by the next report.
  ovtest::FakeTelemetryModule module;
  reporter_.reportEvent(2, 0);
  EXPECT_EQ(module.events().size(), 1u);
  module.ThrowOnSubmit(true);
  EXPECT_NO_THROW(reporter_.reportLatency(20, 1));
  EXPECT_NO_THROW(reporter_.reportEvent(8, 1001));
}

// Which reports reach the module: a sample with a result kind (K), a labelled
// sample, past the admission check (L), a plain sample (P) and an event (E).
TEST_F(TelemetryReporterTest, InterfacesRecordsAndAdmissionDecideWhatIsSent) {
  ovtest::FakeTelemetryModule module;
  const struct {
    const char* name;
    bool apm, telemetry, records;
    int32_t admission;
    const char* sent;
  } cases[] = {
      {"everything", true, true, true, 1, "KLPE"},
      {"no telemetry interface", true, false, true, 1, "LP"},
      {"no record", true, true, false, 1, "LP"},
      {"no apm interface", false, true, true, 1, ""},
      {"not admitted", true, true, true, 0, "KPE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    module.OfferApm(c.apm);
    module.OfferTelemetry(c.telemetry);
    module.FailRecords(!c.records);
    module.SetAdmission(c.admission);
    std::string sent;
    const auto report = [&](char tag, const std::function<void()>& call) {
      const std::size_t before = module.latencies().size() + module.events().size();
      call();
      if (module.latencies().size() + module.events().size() > before) sent += tag;
    };
    report('K', [&] { reporter_.reportLatency(23, 40, "", 3); });
    report('L', [&] { reporter_.reportLatency(18, 71, "pac-detect"); });
    report('P', [&] { reporter_.reportLatency(19, 43); });
    report('E', [&] { reporter_.reportEvent(4, 12029); });
    EXPECT_EQ(sent, c.sent);
  }
  EXPECT_THAT(module.latencies()[0].fields, ElementsAre(Field{"result_kind", 3}));
  EXPECT_EQ(module.latencies()[0].process_kind, 3);
  EXPECT_THAT(module.events()[0].fields, ElementsAre(Field{"code", 4}, Field{"value", 12029}));
  ASSERT_EQ(module.admissions().size(), 4u) << "not asked without the apm interface";
  EXPECT_EQ(module.admissions()[0].value, 71);
  Tav::SetProcessType(Tav::kProcessTypeMain);
  reporter_.reportLatency(19, 43);
  EXPECT_EQ(module.latencies().back().process_kind, 4);
}

TEST_F(TelemetryReporterTest, SummaryIsSentAtMostOnceAnHour) {
  ovtest::FakeTelemetryModule module;
  ovProxyConfig config;
  config.proxy_rules().ParseFromString("proxy:3128");
  config.proxy_rules().bypass_rules.ParseFromString("*.corp.example");
  config.set_source(ConfigSource::Firefox);
  reporter_.reportConfigSummary(config);
  ASSERT_EQ(module.events().size(), 1u);
  EXPECT_EQ(module.events()[0].header.event_id, 38);
  EXPECT_THAT(module.events()[0].fields,
              ElementsAre(Field{"source", 2}, Field{"config_kind", 4}, Field{"bypass", 1}));
  clock_.Advance(std::chrono::hours(1) - std::chrono::nanoseconds(1));
  reporter_.reportConfigSummary(ovProxyConfig());
  EXPECT_EQ(module.events().size(), 1u);
  clock_.Advance(std::chrono::nanoseconds(1));
  reporter_.reportConfigSummary(ovProxyConfig());
  ASSERT_EQ(module.events().size(), 2u);
  EXPECT_THAT(module.events()[1].fields,
              ElementsAre(Field{"source", 1}, Field{"config_kind", 1}, Field{"bypass", 0}));
}

TEST_F(TelemetryReporterTest, ThreadsRacingAtTheHourSendOneSummary) {
  ovtest::FakeTelemetryModule module;
  RunTogether(50, std::vector<std::function<void(int)>>(
                      8, [&](int) { reporter_.reportConfigSummary(ovProxyConfig()); }));
  EXPECT_EQ(module.events().size(), 1u);
}

TEST(TelemetryKindsTest, ResultKinds) {
  ovProxyInfo socks4, socks4_mixed;
  socks4.UseProxyServer(ovProxyServer("s", 1080, "socks4"));
  socks4_mixed.UseProxyServer(ovProxyServer("s", 1080, "Socks4"));
  const std::pair<ovProxyInfo, int32_t> cases[] = {
      {Info("DIRECT"), 1},
      {Info("p:80; DIRECT"), 2},
      {Info("HTTPS://p:443"), 3},
      {Info("SOCKS4://s:1080"), 4},
      {Info("SOCKS5://s:1080"), 5},
      {Info(""), 6},
      // The scheme text decides: only exact upper or lower case is SOCKS4.
      {socks4, 4},
      {socks4_mixed, 5},
  };
  for (const auto& [info, kind] : cases) {
    EXPECT_EQ(ovTelemetryReporter::ResultKind(info), kind) << info.ToPacString();
  }
}

}  // namespace
}  // namespace OVProxy
