// The whole module on Windows' own services, as Wine 8 offers them: WinINet's
// DetectAutoProxyUrl fails (120) and WinHTTP's proxy resolver is a stub that
// refuses every request at once (12178). Auto-detection must still answer:
// the system resolver's failure reaches the caller, with the module's own
// resolver's answer, a direct connection.
#include <gtest/gtest.h>

#include <string>

#include "command_run.h"
#include "ovtest/task_environment.h"

namespace ovproxy {
namespace {

TEST(OvproxyResolveOnWindows, AutoDetectionWithoutDiscoveryOrSystemResolverAnswersDirect) {
  ovtest::TaskEnvironment env("");
  const CommandRun run =
      RunCommand(RunResolveCommand, {"--auto-detect", "--json", "http://example.org/a"});
  EXPECT_EQ(run.code, kExitFailed) << "the failure is reported: " << run.err;
  EXPECT_NE(run.err.find("answered by the local resolver"), std::string::npos) << run.err;

  const Json::Value answers = ParseJson(run.out);
  ASSERT_EQ(answers.size(), 1u) << run.out;
  const Json::Value& answer = answers[0];
  EXPECT_EQ(answer["way"], "WinHttpAsync");
  EXPECT_EQ(answer["error"], 203);
  ASSERT_EQ(answer["servers"].size(), 1u) << run.out;
  EXPECT_EQ(answer["servers"][0]["scheme"], "DIRECT");
}

}  // namespace
}  // namespace ovproxy
