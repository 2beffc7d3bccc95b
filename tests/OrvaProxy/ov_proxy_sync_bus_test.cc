// The data-sync mode between real processes on the real bus: this test
// process and a helper process (ov_proxy_sync_peer) in a bus directory of the
// test's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <json/json.h>

#include <memory>
#include <string>

#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "OrvaProxy/ov_proxy_resolve_service.h"
#include "OrvaProxy/ov_proxy_sync_json.h"
#include "nsdal/dal_bus_directory.h"
#include "nsdal/ipc_helper.h"
#include "nsdal/unix_dal_bus.h"
#include "ovtest/child_process.h"
#include "ovtest/scoped_temp_dir.h"

namespace OVProxy {
namespace {

using namespace std::chrono_literals;

TEST(ProxySyncBusTest, AProcessStartedLaterSeesTheSharedStateAtOnce) {
  ovtest::ScopedTempDir runtime("ovsync");
  std::string error;
  auto directory = ns_dal::EnsureBusDirectory(runtime.path(), ::geteuid(), "/tmp", &error);
  ASSERT_TRUE(directory) << error;
  ns_dal::UnixDalBusOptions options;
  options.directory = *directory;
  options.uid = ::geteuid();
  options.stall_limit = 300ms;
  auto bus = ns_dal::UnixDalBus::Create(options, &error);
  ASSERT_TRUE(bus) << error;
  ns_dal::ScopedDalBusOverride use(bus.get());
  ovProxyInfoModeImpl mode;
  mode.getConfigMode()->setPacUrl("http://later.corp/p.pac");
  ovProxyInfo answer;
  answer.UseProxyServer(ovProxyServer("proxy.corp", 8080, "HTTP"));
  mode.getHostCacheMode()->put("early.corp", answer);
  ovtest::ChildProcess peer(OV_SYNC_PEER_PATH, {}, {"XDG_RUNTIME_DIR=" + runtime.path()});
  ASSERT_TRUE(peer.started());
  EXPECT_EQ(peer.Ask("join"), "join applied");
  EXPECT_EQ(peer.Ask("pacurl"), "http://later.corp/p.pac");
  EXPECT_EQ(peer.Ask("lookup early.corp"), "found proxy.corp:8080");
}

// This process on a bus of a directory of its own, and its mode.
struct OnTheBus {
  OnTheBus() {
    std::string error;
    auto directory = ns_dal::EnsureBusDirectory(runtime.path(), ::geteuid(), "/tmp", &error);
    EXPECT_TRUE(directory) << error;
    ns_dal::UnixDalBusOptions options;
    options.directory = directory.value_or("");
    options.uid = ::geteuid();
    options.stall_limit = 300ms;
    bus = ns_dal::UnixDalBus::Create(options, &error);
    EXPECT_TRUE(bus) << error;
    if (bus) use = std::make_unique<ns_dal::ScopedDalBusOverride>(bus.get());
    mode = std::make_unique<ovProxyInfoModeImpl>();
  }
  ~OnTheBus() {
    mode.reset();
    use.reset();
  }
  std::unique_ptr<ovtest::ChildProcess> Peer() {
    return std::make_unique<ovtest::ChildProcess>(
        OV_SYNC_PEER_PATH, std::vector<std::string>{},
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime.path()});
  }

  ovtest::ScopedTempDir runtime{"ovsync"};
  std::unique_ptr<ns_dal::UnixDalBus> bus;
  std::unique_ptr<ns_dal::ScopedDalBusOverride> use;
  std::unique_ptr<ovProxyInfoModeImpl> mode;
};

ovProxyInfo Named(const char* text) {
  ovProxyInfo info;
  info.UseNamedProxy(text);
  return info;
}

// Whole answers and a manual configuration keep their meaning in another
// process, and a script's http and https answers for one host stay apart;
// both through a joiner's snapshot and through later messages.
TEST(ProxySyncBusTest, AnswersAndManualConfigurationsArriveWhole) {
  OnTheBus here;
  ASSERT_TRUE(here.bus);
  ovProxyConfig manual;
  manual.proxy_rules().ParseFromString("http=a.corp:80;https=s.corp:443");
  manual.proxy_rules().proxies_for_http.AddProxyServer(ovProxyServer("b.corp", 80, "HTTP"));
  here.mode->getConfigMode()->updateConfig(manual);
  auto cache = here.mode->getHostCacheMode();
  const auto key = ovProxyResolveServiceImpl::hostKey;
  cache->put(key("http://two.corp/x"), Named("a.corp:80; b.corp:80"));
  cache->put(key("http://split.corp/"), Named("plain.corp:80"));
  cache->put(key("https://split.corp/"), Named("HTTPS://tls.corp:443"));
  auto peer = here.Peer();
  ASSERT_TRUE(peer->started());
  ASSERT_EQ(peer->Ask("join"), "join applied");
  EXPECT_EQ(peer->Ask("rules"),
            "type=2 single= http=PROXY a.corp:80; PROXY b.corp:80 https=HTTPS s.corp:443");
  const struct {
    const char *url, *answer;
  } rows[] = {
      {"http://two.corp/", "PROXY a.corp:80; PROXY b.corp:80"},
      {"http://split.corp/", "PROXY plain.corp:80"},
      {"https://split.corp/", "HTTPS tls.corp:443"},
      {"http://later.corp/", "PROXY c.corp:80; SOCKS5 d.corp:1080; DIRECT"},
  };
  // The last row leaves by message, after the peer joined.
  cache->put(key(rows[3].url), Named("c.corp:80; SOCKS5://d.corp:1080; DIRECT"));
  for (const auto& row : rows) {
    EXPECT_EQ(peer->Ask(std::string("waitanswer ") + row.url), row.answer) << row.url;
  }
}

// A map longer than the bound (a peer of an older form, or a hostile one)
// is cut to its most recently used part.
TEST(ProxySyncBusTest, AReceivedMapOverTheBoundIsCut) {
  OnTheBus here;
  ASSERT_TRUE(here.bus);
  auto peer = here.Peer();
  ASSERT_TRUE(peer->started());
  ASSERT_EQ(peer->Ask("join"), "join nopeer");
  const size_t sent = kHostCacheCapacity + 1000;
  ovHostCacheEntries entries;
  for (size_t i = 0; i < sent; ++i) {
    entries.emplace_back("h" + std::to_string(i) + ".corp", Named("p.corp:80"));
  }
  Json::Value message(Json::objectValue);
  message["operation"] = "updateHostCacheMap";
  message["cacheMap"] = host_cache_entries_to_json(entries);
  ns_dal::IPCHelper::SyncData(kProxyInfoModeId, kProxyHostCacheFieldId, sync_json::Write(message),
                              ns_dal::kAllPeers);
  const std::string last = "h" + std::to_string(sent - 1) + ".corp";
  EXPECT_EQ(peer->Ask("waitlookup " + last).rfind("ok p.corp:80 ", 0), 0u);
  EXPECT_EQ(peer->Ask("count"), std::to_string(kHostCacheCapacity));
  EXPECT_EQ(peer->Ask("lookup h0.corp"), "missing") << "the least recently used leave";
  EXPECT_EQ(peer->Ask("lookup h1000.corp"), "found p.corp:80");
}

}  // namespace
}  // namespace OVProxy
