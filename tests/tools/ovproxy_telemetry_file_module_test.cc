#include "ovproxy_telemetry_file_module.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "OrvaProxy/ov_telemetry_reporter.h"
#include "ovtest/manual_clock.h"

namespace ovproxy {
namespace {

std::vector<Json::Value> ParseLines(const std::string& text) {
  std::vector<Json::Value> out;
  std::istringstream in(text);
  std::string line;
  Json::CharReaderBuilder builder;
  while (std::getline(in, line)) {
    Json::Value value;
    std::string errors;
    std::istringstream one(line);
    EXPECT_TRUE(Json::parseFromStream(builder, one, &value, &errors)) << line << errors;
    out.push_back(value);
  }
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

class TelemetryOptionTest : public ::testing::Test {
 protected:
  TelemetryOptionTest()
      : dir_(std::filesystem::path(::testing::TempDir()) /
             ("ovproxy_telemetry_" + std::to_string(std::random_device{}()))) {
    std::filesystem::create_directories(dir_);
  }
  ~TelemetryOptionTest() override { std::filesystem::remove_all(dir_); }

  int Consume(std::vector<std::string> args) {
    args_ = std::move(args);
    argv_.clear();
    for (std::string& arg : args_) argv_.push_back(arg.data());
    return ConsumeTelemetryOption(static_cast<int>(argv_.size()), argv_.data(), 1, registration_,
                                  err_);
  }

  std::filesystem::path dir_;
  std::vector<std::string> args_;
  std::vector<char*> argv_;
  std::unique_ptr<TelemetryFileRegistration> registration_;
  std::ostringstream err_;
};

TEST_F(TelemetryOptionTest, RegistersAModuleAppendingToTheFileUntilReleased) {
  const std::string path = (dir_ / "t.jsonl").string();
  std::ofstream(path) << "earlier line\n";
  EXPECT_EQ(Consume({"ovproxy", "--telemetry", path, "version"}), 2);
  ASSERT_NE(registration_, nullptr);
  ASSERT_NE(TavMQ_GetService()->GetModule(orvaus::kTelemetryModuleId), nullptr);
  TestReporter().reportEvent(2, 0);
  registration_.reset();
  EXPECT_EQ(TavMQ_GetService()->GetModule(orvaus::kTelemetryModuleId), nullptr);

  std::ifstream in(path);
  std::string first;
  std::string second;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first, "earlier line");
  EXPECT_NE(second.find("\"event\":39"), std::string::npos) << second;

  EXPECT_EQ(Consume({"ovproxy", "--telemetry=" + path, "version"}), 1);
  ASSERT_NE(registration_, nullptr);
  EXPECT_EQ(registration_->WriteError(), "");
}

// A full disk loses records: the registration says so instead of the tool
// ending as if all went well.
TEST_F(TelemetryOptionTest, RecordsThatCannotBeWrittenAreReported) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(Consume({"ovproxy", "--telemetry", "/dev/full", "pac"}), 2);
  TestReporter().reportEvent(2, 0);
  TestReporter().reportEvent(3, 0);
  EXPECT_EQ(registration_->WriteError(), "cannot write '/dev/full': No space left on device");
}

TEST_F(TelemetryOptionTest, RejectsMisuseWithAMessage) {
  EXPECT_EQ(Consume({"ovproxy", "version"}), 0);
  EXPECT_EQ(Consume({"ovproxy", "--telemetryx", "f"}), 0);
  EXPECT_EQ(Consume({"ovproxy", "--telemetry"}), -1);
  EXPECT_EQ(Consume({"ovproxy", "--telemetry="}), -1);
  EXPECT_EQ(Consume({"ovproxy", "--telemetry", (dir_ / "missing" / "t").string()}), -1);
  EXPECT_EQ(registration_, nullptr);
  EXPECT_EQ(Consume({"ovproxy", "--telemetry", (dir_ / "a").string()}), 2);
  EXPECT_EQ(Consume({"ovproxy", "--telemetry", (dir_ / "b").string()}), -1);
  EXPECT_NE(err_.str().find("given twice"), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find("needs a FILE"), std::string::npos) << err_.str();
}

}  // namespace
}  // namespace ovproxy
