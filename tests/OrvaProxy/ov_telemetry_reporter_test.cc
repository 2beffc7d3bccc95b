#include "OrvaProxy/ov_telemetry_reporter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ovtest/fake_telemetry_module.h"
#include "ovtest/manual_clock.h"
#include "tavbiz/tav_process_type.h"

namespace OVProxy {
namespace {

using ::testing::ElementsAre;
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

ovProxyInfo Info(const ovProxyServer& server) {
  ovProxyInfo info;
  info.UseProxyServer(server);
  return info;
}

ovProxyConfig Manual(const char* rules, const char* bypass = "") {
  ovProxyConfig config;
  config.proxy_rules().ParseFromString(rules);
  config.proxy_rules().bypass_rules.ParseFromString(bypass);
  return config;
}

TEST_F(TelemetryReporterTest, WithoutTheModuleEveryReportIsANoOp) {
  reporter_.reportLatency(18, 5);
  reporter_.reportLatency(23, 5, "label", 2);
  reporter_.reportEvent(1, 0);
  reporter_.reportConfigSummary(ovProxyConfig());
  // Registered later, the module is found by the next report.
  ovtest::FakeTelemetryModule module;
  reporter_.reportEvent(2, 0);
  EXPECT_EQ(module.events().size(), 1u);
}

TEST_F(TelemetryReporterTest, ResultKindTravelsAsAnEventRecord) {
  ovtest::FakeTelemetryModule module;
  reporter_.reportLatency(23, 40, "", 3);
  ASSERT_EQ(module.latencies().size(), 1u);
  EXPECT_THAT(module.latencies()[0].fields, ElementsAre(Field{"result_kind", 3}));
  EXPECT_EQ(module.latencies()[0].process_kind, 3);

  // Without the telemetry interface, or without a record, the sample that
  // needs one is dropped; plain samples still go.
  module.FailRecords(true);
  reporter_.reportLatency(23, 41, "", 3);
  module.FailRecords(false);
  module.OfferTelemetry(false);
  reporter_.reportLatency(23, 42, "", 3);
  Tav::SetProcessType(Tav::kProcessTypeMain);
  reporter_.reportLatency(19, 43);
  ASSERT_EQ(module.latencies().size(), 2u);
  EXPECT_EQ(module.latencies()[1].sample.value_ms, 43);
  EXPECT_EQ(module.latencies()[1].process_kind, 4);
}

TEST_F(TelemetryReporterTest, LabelledSamplesPassTheAdmissionCheckFirst) {
  ovtest::FakeTelemetryModule module;
  module.SetAdmission(0);
  reporter_.reportLatency(18, 70, "pac-detect");
  EXPECT_TRUE(module.latencies().empty());
  module.SetAdmission(1);
  reporter_.reportLatency(18, 71, "pac-detect");
  ASSERT_EQ(module.admissions().size(), 2u);
  EXPECT_EQ(module.admissions()[1].value, 71);
  ASSERT_EQ(module.latencies().size(), 1u);

  module.OfferApm(false);
  reporter_.reportLatency(18, 72, "pac-detect");
  EXPECT_EQ(module.admissions().size(), 2u);
}

TEST_F(TelemetryReporterTest, EventsNeedBothInterfaces) {
  ovtest::FakeTelemetryModule module;
  reporter_.reportEvent(4, 12029);
  ASSERT_EQ(module.events().size(), 1u);
  EXPECT_THAT(module.events()[0].fields, ElementsAre(Field{"code", 4}, Field{"value", 12029}));

  module.OfferTelemetry(false);
  reporter_.reportEvent(5, 1);
  module.OfferTelemetry(true);
  module.OfferApm(false);
  reporter_.reportEvent(6, 1);
  module.OfferApm(true);
  module.FailRecords(true);
  reporter_.reportEvent(7, 1);
  EXPECT_EQ(module.events().size(), 1u);
}

TEST_F(TelemetryReporterTest, ModuleThatThrowsDoesNotReachTheCaller) {
  ovtest::FakeTelemetryModule module;
  module.ThrowOnSubmit(true);
  EXPECT_NO_THROW(reporter_.reportLatency(20, 1));
  EXPECT_NO_THROW(reporter_.reportEvent(8, 1001));
  EXPECT_NO_THROW(reporter_.reportConfigSummary(ovProxyConfig()));
}

TEST_F(TelemetryReporterTest, SummaryIsSentAtMostOnceAnHour) {
  ovtest::FakeTelemetryModule module;
  ovProxyConfig config = Manual("proxy:3128", "*.corp.example");
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
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      while (!go) {
      }
      for (int k = 0; k < 50; ++k) reporter_.reportConfigSummary(ovProxyConfig());
    });
  }
  go = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(module.events().size(), 1u);
}

TEST(TelemetryKindsTest, ResultKinds) {
  const std::pair<ovProxyInfo, int32_t> cases[] = {
      {Info("DIRECT"), 1},
      {Info("p:80; DIRECT"), 2},
      {Info("HTTPS://p:443"), 3},
      {Info("SOCKS4://s:1080"), 4},
      {Info("SOCKS5://s:1080"), 5},
      {Info(""), 6},
      // The scheme text decides: only exact upper or lower case is SOCKS4.
      {Info(ovProxyServer("s", 1080, "socks4")), 4},
      {Info(ovProxyServer("s", 1080, "Socks4")), 5},
  };
  for (const auto& [info, kind] : cases) {
    EXPECT_EQ(ovTelemetryReporter::ResultKind(info), kind) << info.ToPacString();
  }
}

TEST(TelemetryKindsTest, ConfigKinds) {
  for (int bits = 0; bits < 8; ++bits) {
    const bool a = (bits & 1) != 0;
    const bool p = (bits & 2) != 0;
    const bool m = (bits & 4) != 0;
    ovProxyConfig config = m ? Manual("proxy:3128") : ovProxyConfig();
    config.setAutoDetectEnabled(a);
    if (p) config.setPacUrl("http://wpad/wpad.dat");
    const int32_t expected[] = {1, 2, 3, 5, 4, 7, 6, 8};  // indexed by A + 2P + 4M
    EXPECT_EQ(ovTelemetryReporter::ConfigKind(config), expected[bits])
        << "auto=" << a << " pac=" << p << " manual=" << m;
  }
}

}  // namespace
}  // namespace OVProxy
