// `ovproxy resolve` on a configuration of its own (--proxy, --bypass).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "command_run.h"
#include "orvatask/orva_task.h"
#include "ovtest/scoped_temp_dir.h"
#include "ovtest/task_environment.h"

namespace ovproxy {
namespace {

CommandRun Resolve(std::vector<std::string> args) {
  return RunCommand(RunResolveCommand, std::move(args));
}

TEST(OvproxyResolve, AnswersEachUrlWithBypassAndDirectLastResort) {
  ovtest::ScopedTempDir dir;
  const std::string path = dir.path() + "/urls.txt";
  std::ofstream(path) << "# hosts\n\n  b.example  \nc.example\r\n";
  // One after the other and all at once: the same answers, URLs from a file
  // after those of the command line, and the module's runner gone afterwards.
  for (const char* mode : {"--timeout=5000", "--async"}) {
    ovtest::TaskEnvironment env("");
    const CommandRun run = Resolve({mode, "--proxy", "http=p:3128;https=s:3129",
                                    "--bypass=*.corp;<local>", "https://a.corp/x", "example.org",
                                    "http://localhost:8080/", "http://plain/", "-f", path});
    EXPECT_EQ(run.code, kExitOk) << run.err;
    EXPECT_EQ(run.out,
              "https://a.corp/x\tDIRECT\n"
              "https://example.org\tPROXY p:3128; DIRECT\n"
              "http://localhost:8080/\tDIRECT\n"
              "http://plain/\tDIRECT\n"
              "https://b.example\tPROXY p:3128; DIRECT\n"
              "https://c.example\tPROXY p:3128; DIRECT\n")
        << mode;
    EXPECT_EQ(env.manager().GetRunnerId("proxy_resolve_runner_name"), OrvaTask::kInvalidRunnerId)
        << "the command removes the runner it made";
  }
}

TEST(OvproxyResolve, WithoutTheTaskLibraryTheModuleCannotStart) {
  ovtest::TaskEnvironment env("");
  OrvaTask::ScopedOVTManagerOverride none(nullptr);
  const CommandRun run = Resolve({"--proxy", "p:80", "http://x/"});
  EXPECT_EQ(run.code, kExitFailed);
  EXPECT_NE(run.err.find("could not be initialised"), std::string::npos) << run.err;
}

TEST(OvproxyResolve, JsonListsUrlErrorAndServers) {
  ovtest::TaskEnvironment env("");
  const CommandRun run = Resolve({"--json", "--proxy", "a:80;b:81", "--", "x.example", ""});
  EXPECT_EQ(run.code, kExitFailed) << "the empty URL fails";
  EXPECT_EQ(CompactJson(run.out),
            R"([{"error":0,"servers":[{"host":"a","port":80,"scheme":"HTTP"},)"
            R"({"host":"","port":0,"scheme":"DIRECT"}],"source":"override",)"
            R"("url":"https://x.example","way":"LocalResolver"},)"
            R"({"error":2,"servers":[],"source":"override","url":"","way":""}])");
}

TEST(OvproxyResolve, WrongUsageExitsWithTwoAndTheUsageText) {
  ovtest::TaskEnvironment env("");
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"--proxy", "p:80"},  // no URL
      {"--proxy"},          // no value
      {"--proxy", "p:80", "--colour", "http://x/"},
      {"--proxy", "=;=", "http://x/"},  // nothing usable in it
      {"--proxy", "p:80", "--bypass"},
      {"--timeout", "soon", "http://x/"},
      {"--timeout=-1", "http://x/"},
      {"-f", "/nonexistent/urls.txt"},
  };
  for (const auto& args : wrong) {
    const CommandRun run = Resolve(args);
    EXPECT_EQ(run.code, kExitUsage) << ::testing::PrintToString(args);
    EXPECT_NE(run.err.find("usage: ovproxy resolve"), std::string::npos);
    EXPECT_EQ(run.out, "");
  }
}

}  // namespace
}  // namespace ovproxy
