// `ovproxy sync dump`: what a peer process shares on the data-sync bus.
#include <gtest/gtest.h>

#include <string>

#include "OrvaProxy/o_dal_proxy_info_mode.h"
#include "OrvaProxy/ov_proxy_sync_json.h"
#include "command_run.h"
#include "ovtest/fake_dal_bus.h"

namespace ovproxy {
namespace {

namespace ov = OVProxy;

TEST(OvproxySyncCommandTest, WithoutAPeerItSaysSoAndSucceeds) {
  ovtest::FakeDalBus bus;
  bus.SetSnapshotAnswer(std::nullopt);
  const CommandRun text = RunCommand(RunSyncCommand, {"dump"});
  EXPECT_EQ(text.code, kExitOk);
  EXPECT_EQ(text.out, "no other process shares proxy data on this bus\n");
  EXPECT_EQ(ParseJson(RunCommand(RunSyncCommand, {"dump", "--json"}).out)["peer"], false);
  EXPECT_TRUE(bus.sent().empty()) << "dumping sends nothing of its own";
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"show"},
                           std::vector<std::string>{"dump", "--xml"}}) {
    EXPECT_EQ(RunCommand(RunSyncCommand, args).code, kExitUsage);
  }
}

TEST(OvproxySyncCommandTest, PrintsWhatAPeerShares) {
  // A peer holding a PAC configuration and one cached host.
  ov::oDALProxyInfoMode peer(false);
  ov::ovProxyConfig config = ov::ovProxyConfig::CreateFromCustomPacURL("http://wpad.corp/p.pac");
  config.setPacContent(std::string(1234, 'x'));
  Json::Value update;
  update["operation"] = "updateConfig";
  update["config"] = ov::config_to_json(config);
  peer.onSyncData(ov::kProxyInfoModeId, ov::kProxyConfigFieldId, ov::sync_json::Write(update));
  ov::ovProxyInfo answer;
  answer.UseProxyServer(ov::ovProxyServer("proxy.corp", 3128, "HTTP"));
  Json::Value cache;
  cache["operation"] = "updateHostCacheMap";
  cache["cacheMap"] = ov::host_cache_to_json({{"intranet.corp", answer}});
  peer.onSyncData(ov::kProxyInfoModeId, ov::kProxyHostCacheFieldId, ov::sync_json::Write(cache));
  ovtest::FakeDalBus bus;
  bus.SetSnapshotAnswer(peer.getSyncData());

  const CommandRun text = RunCommand(RunSyncCommand, {"dump"});
  EXPECT_EQ(text.code, kExitOk);
  for (const char* line : {"configuration: ProxyConfig{type=PAC_SCRIPT, url=http://wpad.corp/p.pac",
                           "pac size: 1234 bytes", "  intranet.corp -> PROXY proxy.corp:3128"}) {
    EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
  }
  const Json::Value root = ParseJson(RunCommand(RunSyncCommand, {"dump", "--json"}).out);
  EXPECT_EQ(root["config"]["pac_size"], 1234);
  EXPECT_EQ(root["hosts"][0]["host"], "intranet.corp");
}

}  // namespace
}  // namespace ovproxy
