// `ovproxy pac`, run in process on files written by the test.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "command_run.h"

namespace ovproxy {
namespace {

CommandRun Pac(std::vector<std::string> args) {
  return RunCommand(RunPacCommand, std::move(args));
}

std::string WriteFile(const std::string& name, const std::string& text) {
  const std::string path = ::testing::TempDir() + "ovproxy_pac_" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

constexpr char kPac[] =
    "function FindProxyForURL(url, host) {\n"
    "  if (isPlainHostName(host)) return 'DIRECT';\n"
    "  if (host == 'fail.example') return null;\n"
    "  return 'PROXY p:8080; HTTPS x:443; DIRECT';\n"
    "}\n";

TEST(OvproxyPac, TextOutputOneLinePerUrl) {
  const std::string pac = WriteFile("text.pac", kPac);
  const std::string urls =
      WriteFile("urls.txt", "# comment\n\nhttp://intranet/\n  www.b.example  \n");
  const CommandRun run = Pac({"-p", pac, "-u", "http://www.a.example/x", "-f", urls});
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_EQ(run.out,
            "http://www.a.example/x\tPROXY p:8080; HTTPS x:443; DIRECT\tPROXY p:8080\n"
            "http://intranet/\tDIRECT\t-\n"
            "https://www.b.example\tPROXY p:8080; HTTPS x:443; DIRECT\tPROXY p:8080\n");
}

TEST(OvproxyPac, FailuresAndJson) {
  const std::string pac = WriteFile("json.pac", kPac);
  const CommandRun text =
      Pac({"-p", pac, "-u", "http://fail.example/", "-u", "http://ok.example/"});
  EXPECT_EQ(text.code, kExitFailed);
  EXPECT_EQ(text.out,
            "http://fail.example/\tERROR\t203\n"
            "http://ok.example/\tPROXY p:8080; HTTPS x:443; DIRECT\tPROXY p:8080\n");
  EXPECT_NE(text.err.find("returned null instead of a string"), std::string::npos) << text.err;

  const CommandRun json =
      Pac({"--json", "-p", pac, "-u", "http://fail.example/", "-u", "http://ok.example/"});
  EXPECT_EQ(json.code, kExitFailed);
  Json::Value root;
  std::istringstream in(json.out);
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &root, nullptr)) << json.out;
  ASSERT_EQ(root.size(), 2u);
  EXPECT_EQ(root[0]["status"].asInt(), 203);
  EXPECT_TRUE(root[0]["raw"].isNull());
  EXPECT_EQ(root[1]["host"].asString(), "ok.example");
  EXPECT_EQ(root[1]["raw"].asString(), "PROXY p:8080; HTTPS x:443; DIRECT");
  ASSERT_EQ(root[1]["servers"].size(), 1u);
  EXPECT_EQ(root[1]["servers"][0]["scheme"].asString(), "HTTP");
  EXPECT_EQ(root[1]["servers"][0]["port"].asInt(), 8080);
}

TEST(OvproxyPac, InsFiles) {
  const std::string ins = WriteFile(
      "corp.ins",
      "[Proxy]\r\nProxy_Enable=1\r\nHTTP_Proxy_Server=h:80\r\nProxy_Override=<local>\r\n");
  const CommandRun run = Pac({"-p", ins, "-u", "http://www.example/", "-u", "http://intranet/"});
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_EQ(run.out,
            "http://www.example/\tPROXY h:80\tPROXY h:80\n"
            "http://intranet/\t\tDIRECT\n");
}

TEST(OvproxyPac, ReadableErrorsForBadInput) {
  const CommandRun missing = Pac({"-p", "/nonexistent/proxy.pac", "-u", "http://a/"});
  EXPECT_EQ(missing.code, kExitUsage);
  EXPECT_NE(missing.err.find("cannot read '/nonexistent/proxy.pac'"), std::string::npos);

  const std::string broken =
      WriteFile("broken.pac", "function FindProxyForURL(url, host) {\n  return 'DIRECT'\n");
  const CommandRun syntax = Pac({"-p", broken, "-u", "http://a/"});
  EXPECT_EQ(syntax.code, kExitFailed);
  EXPECT_EQ(syntax.out, "");
  EXPECT_NE(syntax.err.find("does not load: SyntaxError"), std::string::npos) << syntax.err;
  EXPECT_NE(syntax.err.find("PAC line"), std::string::npos) << syntax.err;

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-u", "http://a/"}, {"-p", "x.pac"}, {"-p"}, {"--bogus"}}) {
    const CommandRun usage = Pac(args);
    EXPECT_EQ(usage.code, kExitUsage);
    EXPECT_NE(usage.err.find("usage: ovproxy pac"), std::string::npos);
  }
}

}  // namespace
}  // namespace ovproxy
