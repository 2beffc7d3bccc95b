#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <string>
#include <thread>

#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "OrvaProxy/ov_proxy_sync_json.h"
#include "nsdal/ipc_helper.h"
#include "ovtest/fake_dal_bus.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

Json::Value Parse(const std::string& text) {
  return sync_json::Parse(text).value_or(Json::Value());
}

// A message as another process sends it.
std::string MessageText(const char* operation, const char* key, const Json::Value& payload) {
  return sync_json::Write(sync_json::Message(operation, key, payload));
}

std::string UpdateConfigText(const ovProxyConfig& config) {
  Json::Value message;
  message["operation"] = "updateConfig";
  message["config"] = config_to_json(config);
  return sync_json::Write(message);
}

std::string HostCacheText(const ovHostCacheMap& cache) {
  Json::Value message;
  message["operation"] = "updateHostCacheMap";
  message["cacheMap"] = host_cache_to_json(cache);
  return sync_json::Write(message);
}

ovProxyInfo Answer(const std::string& host, int32_t port) {
  ovProxyInfo info;
  info.UseProxyServer(ovProxyServer(host, port, "HTTP"));
  return info;
}

class ProxyInfoModeTest : public ::testing::Test {
 protected:
  Json::Value LastPayload(const char* key) {
    return Parse(Parse(bus_.sent().back().text)[key].asString());
  }
  void Receive(const char* field, const std::string& text) {
    bus_.Deliver(kProxyInfoModeId, field, text);
  }

  ovtest::ManualClock clock_;
  ovtest::TaskEnvironment tasks_{ns_dal::kDalIpcRunnerName};
  ovtest::FakeDalBus bus_;
  ovProxyInfoModeImpl mode_;
  std::shared_ptr<ovProxyConfigMode> config_ = mode_.getConfigMode();
  std::shared_ptr<ovProxyHostCacheMode> cache_ = mode_.getHostCacheMode();
};

TEST_F(ProxyInfoModeTest, UpdateConfigTakesOnlyANewerDifferentConfiguration) {
  ovProxyConfig first = ovProxyConfig::CreateFromCustomPacURL("http://a/p.pac");
  first.setUpdateTimestamp(100);
  ovProxyConfig equal = first;
  equal.setUpdateTimestamp(200);
  ovProxyConfig older = ovProxyConfig::CreateAutoDetect();
  older.setUpdateTimestamp(50);
  ovProxyConfig newer = ovProxyConfig::CreateAutoDetect();
  newer.setUpdateTimestamp(300);

  for (const ovProxyConfig* config : {&first, &equal, &older, &newer}) {
    EXPECT_TRUE(config_->updateConfig(*config));
  }
  EXPECT_EQ(bus_.sent().size(), 2u);
  ovProxyConfig current;
  ASSERT_TRUE(config_->getConfig(current));
  EXPECT_TRUE(current.auto_detect());
}

TEST_F(ProxyInfoModeTest, AReceivedConfigurationIsReadAndChangesStartFromIt) {
  ovProxyConfig remote = ovProxyConfig::CreateFromCustomPacURL("http://remote/p.pac");
  remote.proxy_rules().bypass_rules.AddRuleFromString("*.remote");
  config_->setPacUrl("http://local/p.pac");
  Receive(kProxyConfigFieldId, UpdateConfigText(remote));
  Receive(kProxyConfigFieldId,
          MessageText("setPacSocksFlag", "hasSocks", sync_json::Flag("has_socks", true)));

  EXPECT_EQ(config_->getPacUrl(), "http://remote/p.pac");
  EXPECT_TRUE(config_->getPacSocksFlag());
  bus_.ClearSent();
  config_->setPacContent("function FindProxyForURL(u, h) { return \"DIRECT\"; }");
  const Json::Value sent = Parse(Parse(bus_.sent().back().text)["config"].asString());
  EXPECT_EQ(sent["pac_url"].asString(), "http://remote/p.pac") << "the other process's URL stays";
  EXPECT_EQ(sent["bypass_list"][0].asString(), "*.remote");
  EXPECT_EQ(config_->getPacContent(), "function FindProxyForURL(u, h) { return \"DIRECT\"; }");
}

TEST_F(ProxyInfoModeTest, HostCacheFollowsTheLatestWriteFromEitherSide) {
  Receive(kProxyHostCacheFieldId,
          MessageText("setHostCacheEnabled", "enabled", sync_json::Flag("enabled", false)));
  EXPECT_FALSE(cache_->isHostCacheEnabled());
  cache_->setHostCacheEnabled(true);
  EXPECT_TRUE(cache_->isHostCacheEnabled());

  Receive(kProxyHostCacheFieldId, HostCacheText({{"remote.example", Answer("r", 1)}}));
  cache_->put("local.example", Answer("l", 2));
  ovProxyInfo info;
  ASSERT_TRUE(cache_->lookup("local.example", info));
  EXPECT_EQ(info, Answer("l", 2));
  ASSERT_TRUE(cache_->lookup("remote.example", info)) << "a put does not drop what others sent";
  bus_.ClearSent();
  clock_.Advance(ns_dal::kCoalesceWindow);
  tasks_.RunUntilIdle();
  ASSERT_EQ(bus_.sent().size(), 1u);
  EXPECT_EQ(LastPayload("cacheMap")["cache_list"].size(), 2u);

  // A map received after the field wrote is the base of its next put; later
  // puts add to it one entry at a time.
  Receive(kProxyHostCacheFieldId, HostCacheText({{"newer.example", Answer("n", 3)}}));
  cache_->put("second.example", Answer("s", 4));
  cache_->put("third.example", Answer("t", 5));
  EXPECT_TRUE(cache_->lookup("newer.example", info));
  EXPECT_TRUE(cache_->lookup("third.example", info));
  EXPECT_FALSE(cache_->lookup("local.example", info)) << "replaced by the received map";
  bus_.ClearSent();
  clock_.Advance(ns_dal::kCoalesceWindow);
  tasks_.RunUntilIdle();
  ASSERT_EQ(bus_.sent().size(), 1u);
  EXPECT_EQ(LastPayload("cacheMap")["cache_list"].size(), 3u);

  cache_->clear();
  EXPECT_FALSE(cache_->lookup("remote.example", info));
}

TEST_F(ProxyInfoModeTest, BadMessagesChangeNothingThatWasReceived) {
  ovProxyConfig remote = ovProxyConfig::CreateFromCustomPacURL("http://good/p.pac");
  Receive(kProxyConfigFieldId, UpdateConfigText(remote));
  Receive(kProxyHostCacheFieldId, HostCacheText({{"good.example", Answer("g", 1)}}));
  Receive(kProxyConfigFieldId,
          MessageText("setPacSocksFlag", "hasSocks", sync_json::Flag("has_socks", true)));
  const std::string before = mode_.getDalMode()->getSyncData();
  bus_.ClearSent();

  Json::Value config_as_object;
  config_as_object["operation"] = "updateConfig";
  config_as_object["config"] = Parse(config_to_json(ovProxyConfig()));
  const struct {
    const char* field;
    std::string text;
  } cases[] = {
      {kProxyConfigFieldId, "not json"},
      {kProxyConfigFieldId, R"({"operation":"updateConfig","config":"not json"})"},
      {kProxyConfigFieldId, sync_json::Write(config_as_object)},
      {kProxyConfigFieldId, R"({"operation":"dropEverything","config":"{}"})"},
      {kProxyConfigFieldId,
       R"({"operation":"setPacSocksFlag","hasSocks":"{\"has_socks\":\"no\"}"})"},
      {kProxyConfigFieldId, R"({"operation":"setPacContent","content":"\"just text\""})"},
      {kProxyHostCacheFieldId, R"({"operation":"updateHostCacheMap","cacheMap":"[1]"})"},
      {kProxyHostCacheFieldId, R"({"operation":"updateConfig","config":"{}"})"},
      {"dal.field.id.Unknown", UpdateConfigText(ovProxyConfig())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Receive(c.field, c.text);
    EXPECT_EQ(mode_.getDalMode()->getSyncData(), before);
  }
  bus_.Deliver("dal.mode.id.Other", kProxyConfigFieldId, UpdateConfigText(ovProxyConfig()));
  EXPECT_EQ(mode_.getDalMode()->getSyncData(), before);
  EXPECT_TRUE(bus_.sent().empty());
  EXPECT_EQ(config_->getPacUrl(), "http://good/p.pac");
}

TEST_F(ProxyInfoModeTest, SnapshotsCarryWhatIsHeldAndJoinersApplyThem) {
  config_->setPacUrl("http://shared/p.pac");
  config_->setPacSocksFlag(true);
  cache_->put("a.example", Answer("p", 3128));
  cache_->setHostCacheEnabled(false);
  Receive(kProxyConfigFieldId,
          MessageText("setPacContent", "content", sync_json::StampedText("content", "pac text")));
  Json::Value snapshot = Parse(bus_.AskSnapshot(kProxyInfoModeId));
  const std::string config_key = kProxyConfigFieldId;
  // A sender may file the auto-detect flag under the older key.
  snapshot[config_key + "_ff_auto_detect"] =
      sync_json::Message("setAutoDetectEnabled", "enabled", sync_json::Flag("enabled", true));

  oDALProxyInfoMode joiner(false);
  int listener_calls = 0;
  joiner.addFieldListener(kProxyInfoModeId, [&](const std::string&) { ++listener_calls; });
  joiner.applySyncData(sync_json::Write(snapshot));
  EXPECT_EQ(listener_calls, 0);
  const ovDalReceivedState got = joiner.received();
  ASSERT_TRUE(got.config.has_value());
  EXPECT_EQ(got.config->getPacUrl(), "http://shared/p.pac");
  EXPECT_EQ(got.pac_content, std::optional<std::string>("pac text"));
  EXPECT_EQ(got.pac_socks, std::optional<bool>(true));
  EXPECT_EQ(got.auto_detect, std::optional<bool>(true));
  ASSERT_TRUE(got.host_cache.has_value());
  EXPECT_EQ(got.host_cache->at("a.example"), Answer("p", 3128));
  EXPECT_FALSE(got.pac_url.has_value()) << "never received";

  joiner.onSyncData(kProxyInfoModeId, kProxyConfigFieldId, "not json");
  EXPECT_EQ(listener_calls, 1) << "listeners hear every message of the mode";
}

// Listeners read the fields while another thread changes them: with the
// documented lock order this never deadlocks (and the thread sanitizer
// reports any inversion).
TEST_F(ProxyInfoModeTest, ListenersMayReadFieldsWhileOthersWrite) {
  std::atomic<int> heard{0};
  mode_.addFieldListener(kProxyInfoModeId, [&](const std::string&) {
    (void)config_->getPacUrl();
    ovProxyInfo info;
    (void)cache_->lookup("x", info);
    heard.fetch_add(1);
  });
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) config_->setPacUrl("http://w/" + std::to_string(i));
  });
  const std::string text = UpdateConfigText(ovProxyConfig::CreateAutoDetect());
  for (int i = 0; i < 200; ++i) Receive(kProxyConfigFieldId, text);
  writer.join();
  EXPECT_EQ(heard.load(), 200);
}

}  // namespace
}  // namespace OVProxy
