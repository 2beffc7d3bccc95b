// The data-sync messages and the mode that exchanges them.
#include "OrvaProxy/ov_proxy_sync_json.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "nsdal/ipc_helper.h"
#include "ovtest/fake_dal_bus.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

using RulesType = ovProxyConfig::RulesType;

Json::Value ParseOrDie(const std::string& text) {
  auto value = sync_json::Parse(text);
  EXPECT_TRUE(value.has_value()) << text;
  return value.value_or(Json::Value());
}

ovProxyConfig ManualConfig() {
  ovProxyConfig config;
  config.setAutoDetectEnabled(true);
  config.setPacUrl("http://wpad.corp/proxy.pac");
  config.setPacContent("function FindProxyForURL(u, h) { return \"PROXY p:1\"; }");
  config.setPacFileType(ovPacFileType::Ins);
  auto& rules = config.proxy_rules();
  rules.type = RulesType::PerScheme;
  ovProxyServer http("http.corp", 8080, "HTTP");
  http.setCredentials("user", "secret");
  rules.proxies_for_http.AddProxyServer(http);
  rules.proxies_for_http.AddProxyServer(ovProxyServer("second", 1, "HTTP"));
  rules.proxies_for_https.AddProxyServer(ovProxyServer("https.corp", 8443, "HTTPS"));
  rules.single_proxies.AddProxyServer(ovProxyServer("socks.corp", 1080, "SOCKS5"));
  rules.bypass_rules.AddRuleFromString("*.local");
  rules.bypass_rules.AddRuleFromString("10.1.2.3");
  return config;
}

TEST(ProxySyncJsonTest, ConfigurationTravelsThroughItsObject) {
  const ovProxyConfig sent = ManualConfig();
  ovProxyConfig received;
  ASSERT_TRUE(config_from_json(config_to_json(sent), received));
  EXPECT_TRUE(received.auto_detect());
  EXPECT_EQ(received.getPacContent(), sent.getPacContent());
  const auto& rules = received.proxy_rules();
  // The whole rules travel: their type and every server of every list.
  EXPECT_EQ(rules, sent.proxy_rules());
  EXPECT_EQ(rules.type, RulesType::PerScheme);
  ASSERT_EQ(rules.proxies_for_http.size(), 2u);
  EXPECT_TRUE(rules.proxies_for_http.First().hasCredentials());
  // A text of the older form (one server per list, no type) still reads,
  // and its servers say which type the rules have.
  const struct {
    const char* text;
    RulesType type;
    const char* http;
  } older[] = {
      {R"({"http_proxy":{"host":"h","port":80,"type":"HTTP"}})", RulesType::PerScheme,
       "PROXY h:80"},
      {R"({"socks_proxy":{"host":"s","port":1,"type":"SOCKS5"}})", RulesType::SingleList, ""},
      {R"({"pac_url":"http://p/"})", RulesType::None, ""},
      // Newer members win over the older ones; a bad type is ignored.
      {R"({"http_proxy":{"host":"h","port":80,"type":"HTTP"},"rules_type":9,
           "http_proxies":[{"host":"x","port":1,"type":"HTTP"},7,{"host":"y","port":2,"type":"HTTP"}]})",
       RulesType::PerScheme, "PROXY x:1; PROXY y:2"},
      {R"({"rules_type":1,"single_proxies":[]})", RulesType::SingleList, ""},
  };
  for (const auto& row : older) {
    ovProxyConfig config;
    ASSERT_TRUE(config_from_json(row.text, config)) << row.text;
    EXPECT_EQ(config.proxy_rules().type, row.type) << row.text;
    EXPECT_EQ(config.proxy_rules().proxies_for_http.ToPacString(), row.http) << row.text;
  }
  EXPECT_EQ(rules.bypass_rules.rules(), sent.proxy_rules().bypass_rules.rules());
}

TEST(ProxySyncJsonTest, BadMembersAreSkippedOneByOneAndTextsThatAreNoObjectRefused) {
  const std::string good_server = R"({"host":"h","port":80,"type":"HTTP"})";
  const struct {
    const char *member, *bad_value;
  } cases[] = {
      {"auto_detect_enabled", R"("true")"},
      {"pac_url", "42"},
      {"pac_content", "null"},
      {"pac_file_type", "99999999999"},
      {"http_proxy", R"({"host":"h","port":"80","type":"HTTP"})"},
      {"socks_proxy", R"({"host":"h","port":80,"type":5})"},
      {"bypass_list", R"("a;b")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.member) + "=" + c.bad_value);
    Json::Value object =
        ParseOrDie(R"({"auto_detect_enabled":true,"pac_url":"u","pac_content":"c",
        "pac_file_type":1,"http_proxy":)" +
                   good_server + R"(,"https_proxy":)" + good_server + R"(,"socks_proxy":)" +
                   good_server + R"(,"bypass_list":["x"]})");
    object[c.member] = ParseOrDie(c.bad_value);
    ovProxyConfig config;
    ASSERT_TRUE(config_from_json(sync_json::Write(object), config));
    const auto& rules = config.proxy_rules();
    const std::string member = c.member;
    EXPECT_EQ(config.auto_detect(), member != "auto_detect_enabled");
    EXPECT_EQ(config.getPacUrl(), member == "pac_url" ? "" : "u");
    EXPECT_EQ(config.getPacContent(), member == "pac_content" ? "" : "c");
    EXPECT_EQ(config.getPacFileType(),
              member == "pac_file_type" ? ovPacFileType::Unknown : ovPacFileType::Pac);
    EXPECT_EQ(rules.proxies_for_http.IsEmpty(), member == "http_proxy");
    EXPECT_EQ(rules.proxies_for_https.IsEmpty(), member == "https_proxy");
    EXPECT_EQ(rules.single_proxies.IsEmpty(), member == "socks_proxy");
    EXPECT_EQ(rules.bypass_rules.rules().empty(), member == "bypass_list");
  }
  // Credentials need both texts; bypass lists skip elements that are no text.
  ovProxyConfig config;
  ASSERT_TRUE(config_from_json(
      R"({"http_proxy":{"host":"h","port":80,"type":"HTTP","username":"u","password":7},
          "bypass_list":["a", 3, null, "b", {"x":1}]})",
      config));
  EXPECT_FALSE(config.proxy_rules().proxies_for_http.First().hasCredentials());
  EXPECT_EQ(config.proxy_rules().bypass_rules.rules(), (std::vector<std::string>{"a", "b"}));
  // Texts that are no object are refused.
  for (const char* text : {"", "{", "null", "42", "[1,2]"}) {
    ovProxyConfig refused;
    EXPECT_FALSE(config_from_json(text, refused)) << text;
    ovHostCacheMap cache;
    EXPECT_FALSE(host_cache_from_json(text, cache)) << text;
  }
}

TEST(ProxySyncJsonTest, HostCacheTravelsWithDefaultsForMissingMembers) {
  ovHostCacheMap sent;
  ovProxyInfo proxy;
  proxy.UseProxyServer(ovProxyServer("p.corp", 3128, "HTTP"));
  sent["b.example"] = proxy;
  sent["a.example"] = ovProxyInfo();  // an empty answer
  ovHostCacheMap received;
  received["kept.example"] = proxy;
  ASSERT_TRUE(host_cache_from_json(host_cache_to_json(sent), received));
  ASSERT_EQ(received.size(), 3u) << "entries are inserted or replaced, not cleared";
  EXPECT_EQ(received["b.example"], proxy);
  EXPECT_TRUE(received["a.example"].is_empty());
  ovHostCacheMap partial;
  ASSERT_TRUE(host_cache_from_json(
      R"({"cache_list":[{"host":"no-port","proxy_host":"p"},
                        {"host":"bad-types","proxy_host":"p","proxy_port":"1","proxy_type":2},
                        {"host":"no-proxy-host"}, {"proxy_host":"no-host"}, 5,
                        {"host":7,"proxy_host":"p"}]})",
      partial));
  ASSERT_EQ(partial.size(), 2u);
  for (const char* host : {"no-port", "bad-types"}) {
    EXPECT_EQ(partial[host].proxy_server().port, 8080) << host;
    EXPECT_EQ(partial[host].proxy_server().scheme, "http") << host;
  }
}

// A message as another process sends it.
std::string MessageText(const char* operation, const char* key, const Json::Value& payload) {
  return sync_json::Write(sync_json::Message(operation, key, payload));
}

std::string UpdateConfigText(const ovProxyConfig& config) {
  return MessageText("updateConfig", "config", ParseOrDie(config_to_json(config)));
}

std::string HostCacheText(const ovHostCacheMap& cache) {
  return MessageText("updateHostCacheMap", "cacheMap", ParseOrDie(host_cache_to_json(cache)));
}

ovProxyInfo Answer(const std::string& host, int32_t port) {
  ovProxyInfo info;
  info.UseProxyServer(ovProxyServer(host, port, "HTTP"));
  return info;
}

// Every server of an answer travels; an entry without a usable list (a
// sender of the older form, a broken list) falls back to its first server.
TEST(ProxySyncJsonTest, HostCacheAnswersTravelWhole) {
  const struct {
    const char* name;
    std::string entry;
    const char* answer;
  } rows[] = {
      {"list", R"("proxy_host":"a","proxy_port":80,"proxy_type":"HTTP",
          "proxy_list":[{"host":"a","port":80,"type":"HTTP"},{"host":"b","port":81,"type":"HTTPS"},
                        {"host":"","port":0,"type":"DIRECT"}])",
       "PROXY a:80; HTTPS b:81; DIRECT"},
      {"older form", R"("proxy_host":"a","proxy_port":80,"proxy_type":"HTTP")", "PROXY a:80"},
      {"broken list", R"("proxy_host":"a","proxy_port":80,"proxy_type":"HTTP",
          "proxy_list":[{"host":"b","port":"81","type":"HTTP"}])",
       "PROXY a:80"},
      {"list not utf-8",
       "\"proxy_host\":\"a\",\"proxy_port\":80,\"proxy_type\":\"HTTP\","
       "\"proxy_list\":[{\"host\":\"b\xff\",\"port\":81,\"type\":\"HTTP\"}]",
       "PROXY a:80"},
  };
  for (const auto& row : rows) {
    ovHostCacheMap cache;
    ASSERT_TRUE(host_cache_from_json(R"({"cache_list":[{"host":"h",)" + row.entry + "}]}", cache))
        << row.name;
    EXPECT_EQ(cache["h"].ToPacString(), row.answer) << row.name;
  }
  ovHostCacheMap sent;
  sent["h"].UseNamedProxy("a:80; SOCKS5://s:1080; DIRECT");
  ovHostCacheMap back;
  ASSERT_TRUE(host_cache_from_json(host_cache_to_json(sent), back));
  EXPECT_EQ(back, sent);
}

// The cache keeps the most recently used hosts (a lookup counts as use), and
// a received list over the bound keeps its last entries, the sender's most
// recent, a host named twice counting at its later place.
TEST(ProxySyncJsonTest, TheHostCacheIsBoundedLeastRecentlyUsedFirst) {
  const auto hosts = [](const ovHostCacheEntries& entries) {
    std::string out;
    for (const auto& entry : entries) out += entry.first;
    return out;
  };
  ovHostCache cache(3);
  for (const char* host : {"a", "b", "c"}) cache.put(host, Answer(host, 1));
  ovProxyInfo info;
  ASSERT_TRUE(cache.lookup("a", info));
  cache.put("d", Answer("d", 1));
  cache.put("c", Answer("c", 2));
  cache.put("e", Answer("e", 1));
  EXPECT_EQ(hosts(cache.entries()), "dce");
  ovHostCache copy = cache;  // a copy keeps working on its own
  cache.clear();
  ASSERT_TRUE(copy.lookup("c", info));
  EXPECT_EQ(info, Answer("c", 2));
  EXPECT_EQ(hosts(copy.entries()), "dec");

  ovHostCacheEntries sent;
  for (const char* host : {"a", "b", "c", "a", "d", "x"}) sent.emplace_back(host, Answer("p", 1));
  std::string text = host_cache_entries_to_json(sent);
  text.replace(text.rfind("\"x\""), 3, "7");  // the last entry is unusable
  ovHostCacheEntries received;
  ASSERT_TRUE(host_cache_entries_from_json(text, received, 3));
  EXPECT_EQ(hosts(received), "cad");
  ASSERT_TRUE(host_cache_entries_from_json(text, received, 100));
  EXPECT_EQ(hosts(received), "bcad");
}

class ProxyInfoModeTest : public ::testing::Test {
 protected:
  Json::Value LastPayload(const char* key) {
    return ParseOrDie(ParseOrDie(bus_.sent().back().text)[key].asString());
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

// Configurations are ordered by when they were made, whatever the wall
// clock says: a clock stepped back (NTP, the user) must not make the newer
// one look older and be refused.
TEST_F(ProxyInfoModeTest, ANewerConfigurationWinsAfterTheWallClockSteppedBack) {
  const ovProxyConfig first = ovProxyConfig::CreateFromCustomPacURL("http://a/p.pac");
  clock_.SetSystemTime100ns(clock_.SystemNow100ns() - int64_t{3600} * 10'000'000);
  clock_.Advance(std::chrono::milliseconds(1));
  const ovProxyConfig second = ovProxyConfig::CreateAutoDetect();
  EXPECT_GT(second.getUpdateTimestamp(), first.getUpdateTimestamp());
  config_->updateConfig(first);
  config_->updateConfig(second);
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
  const Json::Value sent = ParseOrDie(ParseOrDie(bus_.sent().back().text)["config"].asString());
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

// A large map keeps a gap between two sends (10 ms per 256 hosts), and the
// change that came within it still leaves once the gap has passed.
TEST_F(ProxyInfoModeTest, LargeMapsKeepAGapBetweenSendsAndLoseNoChange) {
  for (int i = 0; i < 512; ++i) cache_->put("h" + std::to_string(i), Answer("p", 1));
  const auto sends_after = [this](std::chrono::milliseconds step) {
    bus_.ClearSent();
    clock_.Advance(step);
    tasks_.RunUntilIdle();
    return bus_.sent().size();
  };
  EXPECT_EQ(sends_after(ns_dal::kCoalesceWindow), 1u);
  cache_->put("late", Answer("l", 2));
  EXPECT_EQ(sends_after(ns_dal::kCoalesceWindow), 0u) << "within the 20 ms gap";
  EXPECT_EQ(sends_after(ns_dal::kCoalesceWindow), 1u);
  EXPECT_EQ(LastPayload("cacheMap")["cache_list"].size(), 513u);
  EXPECT_EQ(sends_after(std::chrono::milliseconds(100)), 0u) << "nothing changed since";
}

TEST_F(ProxyInfoModeTest, BadMessagesChangeNothingThatWasReceived) {
  ovProxyConfig remote = ovProxyConfig::CreateFromCustomPacURL("http://good/p.pac");
  Receive(kProxyConfigFieldId, UpdateConfigText(remote));
  Receive(kProxyHostCacheFieldId, HostCacheText({{"good.example", Answer("g", 1)}}));
  Receive(kProxyConfigFieldId,
          MessageText("setPacSocksFlag", "hasSocks", sync_json::Flag("has_socks", true)));
  const std::string before = mode_.getDalMode()->getSyncData();
  bus_.ClearSent();
  const struct {
    const char* field;
    std::string text;
  } cases[] = {
      {kProxyConfigFieldId, "not json"},
      {kProxyConfigFieldId, R"({"operation":"updateConfig","config":"not json"})"},
      {kProxyConfigFieldId, R"({"operation":"updateConfig","config":{"pac_url":"x"}})"},
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
  Json::Value snapshot = ParseOrDie(bus_.AskSnapshot(kProxyInfoModeId));
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
