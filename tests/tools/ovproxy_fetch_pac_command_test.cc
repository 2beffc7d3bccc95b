#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "command_run.h"
#include "ovtest/fake_auto_proxy_detector.h"
#include "ovtest/fake_feature_sources.h"
#include "ovtest/local_pac_server.h"
#include "ovtest/task_environment.h"
#include "platform/autoproxy/ov_auto_proxy_url_detector.h"

namespace ovproxy {
namespace {

using ovtest::LocalPacServer;

class OvproxyFetchPac : public ::testing::Test {
 protected:
  OvproxyFetchPac() {
    experiments_.Enable("UseFileXfer");
    ovplatform::OverrideAutoProxyUrlDetectorForTesting(detector_);
  }
  ~OvproxyFetchPac() override { ovplatform::OverrideAutoProxyUrlDetectorForTesting(std::nullopt); }

  ovtest::TaskEnvironment env_{""};
  ovtest::FakeExperimentMgr experiments_;
  LocalPacServer server_;
  std::shared_ptr<ovtest::FakeAutoProxyDetector> detector_ =
      std::make_shared<ovtest::FakeAutoProxyDetector>();
};

TEST_F(OvproxyFetchPac, ReportsEachStepAndPrintsTheScript) {
  const std::string size = std::to_string(std::string(LocalPacServer::kPacBody).size());
  const struct {
    std::vector<std::string> args;
    int code;
    std::string out;
    std::vector<std::string> reported;
  } cases[] = {
      {{server_.Url("/etag.pac"), "--twice"},
       kExitOk,
       LocalPacServer::kPacBody,
       {"pac url: " + server_.Url("/etag.pac") + " (configured)",
        "download: ok, " + size + " bytes", "verification: passed",
        "repeat download: not modified, " + size + " bytes (kept copy)"}},
      {{server_.Url("/missing.pac")},
       kExitFailed,
       "",
       {"download: failed (xfer download stream failure)"}},
      {{"--auto-detect"}, kExitFailed, "", {"pac url: none found (DHCP and DNS)"}},
      {{}, kExitUsage, "", {"a URL or --auto-detect is required", "usage: ovproxy fetch-pac"}},
  };
  for (const auto& c : cases) {
    const CommandRun run = RunCommand(RunFetchPacCommand, c.args);
    EXPECT_EQ(run.code, c.code) << run.err;
    EXPECT_EQ(run.out, c.out);
    for (const std::string& line : c.reported) {
      EXPECT_NE(run.err.find(line), std::string::npos) << line << "\n" << run.err;
    }
  }
}

TEST_F(OvproxyFetchPac, DetectedUrlIsNamedByItsSourceAndTheScriptWrittenToAFile) {
  detector_->SetAnswer(ovplatform::PROXY_AUTO_DETECT_TYPE_DNS_A, server_.Url("/lastmod.pac"));
  const std::string file = ::testing::TempDir() + "/ovproxy_fetch_pac_test.pac";
  const CommandRun run = RunCommand(RunFetchPacCommand, {"--auto-detect", "-o", file});
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_NE(run.out.find("pac url: " + server_.Url("/lastmod.pac") + " (dns)"), std::string::npos)
      << run.out;
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  EXPECT_EQ(text.str(), LocalPacServer::kPacBody);
}

}  // namespace
}  // namespace ovproxy
