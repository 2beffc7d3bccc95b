#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>
#include <string>

#include "OrvaProxy/o_dal_proxy_info_mode.h"
#include "OrvaProxy/ov_proxy_sync_json.h"
#include "command_run.h"
#include "ovtest/fake_dal_bus.h"

namespace ovproxy {
namespace {

using OVProxy::kProxyConfigFieldId;
using OVProxy::kProxyHostCacheFieldId;
using OVProxy::kProxyInfoModeId;

// The snapshot a process holding a PAC configuration and one cached host
// gives.
std::string PeerSnapshot() {
  OVProxy::oDALProxyInfoMode peer(false);
  OVProxy::ovProxyConfig config =
      OVProxy::ovProxyConfig::CreateFromCustomPacURL("http://wpad.corp/p.pac");
  config.setPacContent(std::string(1234, 'x'));
  Json::Value update;
  update["operation"] = "updateConfig";
  update["config"] = OVProxy::config_to_json(config);
  peer.onSyncData(kProxyInfoModeId, kProxyConfigFieldId, OVProxy::sync_json::Write(update));
  OVProxy::ovProxyInfo answer;
  answer.UseProxyServer(OVProxy::ovProxyServer("proxy.corp", 3128, "HTTP"));
  Json::Value cache;
  cache["operation"] = "updateHostCacheMap";
  cache["cacheMap"] = OVProxy::host_cache_to_json({{"intranet.corp", answer}});
  peer.onSyncData(kProxyInfoModeId, kProxyHostCacheFieldId, OVProxy::sync_json::Write(cache));
  return peer.getSyncData();
}

TEST(OvproxySyncCommandTest, WithoutAPeerItSaysSoAndSucceeds) {
  ovtest::FakeDalBus bus;
  bus.SetSnapshotAnswer(std::nullopt);
  const CommandRun text = RunCommand(RunSyncCommand, {"dump"});
  EXPECT_EQ(text.code, kExitOk);
  EXPECT_EQ(text.out, "no other process shares proxy data on this bus\n");
  EXPECT_FALSE(OVProxy::sync_json::Parse(RunCommand(RunSyncCommand, {"dump", "--json"}).out)
                   ->get("peer", true)
                   .asBool());
  EXPECT_TRUE(bus.sent().empty()) << "dumping sends nothing of its own";
}

TEST(OvproxySyncCommandTest, PrintsWhatAPeerShares) {
  ovtest::FakeDalBus bus;
  bus.SetSnapshotAnswer(PeerSnapshot());
  const CommandRun text = RunCommand(RunSyncCommand, {"dump"});
  EXPECT_EQ(text.code, kExitOk);
  EXPECT_NE(text.out.find("configuration: ProxyConfig{type=PAC_SCRIPT, url=http://wpad.corp/p.pac"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("pac size: 1234 bytes"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("  intranet.corp -> PROXY proxy.corp:3128"), std::string::npos)
      << text.out;

  const CommandRun json = RunCommand(RunSyncCommand, {"dump", "--json"});
  const Json::Value root = OVProxy::sync_json::Parse(json.out).value();
  EXPECT_EQ(root["config"]["pac_size"].asInt(), 1234);
  EXPECT_EQ(root["hosts"][0]["host"].asString(), "intranet.corp");
}

TEST(OvproxySyncCommandTest, RefusesOtherArguments) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"show"},
                           std::vector<std::string>{"dump", "--xml"}}) {
    EXPECT_EQ(RunCommand(RunSyncCommand, args).code, kExitUsage);
  }
}

}  // namespace
}  // namespace ovproxy
