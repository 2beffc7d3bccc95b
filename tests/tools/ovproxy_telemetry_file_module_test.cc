#include "ovproxy_telemetry_file_module.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "OrvaProxy/ov_telemetry_reporter.h"
#include "command_run.h"
#include "ovtest/manual_clock.h"

namespace ovproxy {
namespace {

// One JSON value a line.
std::vector<Json::Value> ParseLines(const std::string& text) {
  std::vector<Json::Value> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(ParseJson(line));
  return out;
}

class TestReporter : public OVProxy::ovTelemetryReporter {};

// The reporter's records, through the message-queue service, into lines.
TEST(TelemetryFileModuleTest, WritesEachRecordAsOneJsonLine) {
  ovtest::ManualClock clock;  // 2026-01-01T00:00:00Z
  auto out = std::make_shared<std::ostringstream>();
  ASSERT_TRUE(TavMQ_GetService()->RegisterModule(std::make_shared<TelemetryFileModule>(out)));
  TestReporter reporter;
  reporter.reportLatency(23, 120, "lbl \"quoted\"", 2);
  reporter.reportEvent(4, 12029);
  reporter.reportConfigSummary(OVProxy::ovProxyConfig::CreateAutoDetect());
  TavMQ_GetService()->UnregisterModule(orvaus::kTelemetryModuleId);
  reporter.reportEvent(1, 0);  // no module any more: not written

  const auto lines = ParseLines(out->str());
  ASSERT_EQ(lines.size(), 3u) << out->str();
  EXPECT_EQ(lines[0]["kind"], "latency");
  EXPECT_EQ(lines[0]["label"], "lbl \"quoted\"");
  EXPECT_EQ(lines[0]["fields"]["result_kind"], 2);
  EXPECT_EQ(lines[0]["time_ms"].asInt64(), 1767225600000);
  EXPECT_EQ(lines[1]["kind"], "event");
  EXPECT_EQ(lines[1]["fields"]["value"], 12029);
  EXPECT_EQ(lines[2]["fields"]["config_kind"], 2);
}

}  // namespace
}  // namespace ovproxy
