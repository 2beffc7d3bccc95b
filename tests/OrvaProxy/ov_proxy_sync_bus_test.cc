// The data-sync mode between real processes on the real bus: this test
// process and helper processes (ov_proxy_sync_peer) in a bus directory of
// the test's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "nsdal/dal_bus_directory.h"
#include "nsdal/ipc_helper.h"
#include "nsdal/unix_dal_bus.h"
#include "ovtest/child_process.h"
#include "ovtest/scoped_temp_dir.h"

namespace OVProxy {
namespace {

using namespace std::chrono_literals;

class ProxySyncBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto directory = ns_dal::EnsureBusDirectory(runtime_.path(), ::geteuid(), "/tmp", &error);
    ASSERT_TRUE(directory) << error;
    ns_dal::UnixDalBusOptions options;
    options.directory = *directory;
    options.uid = ::geteuid();
    options.stall_limit = 300ms;
    bus_ = ns_dal::UnixDalBus::Create(options, &error);
    ASSERT_TRUE(bus_) << error;
    override_ = std::make_unique<ns_dal::ScopedDalBusOverride>(bus_.get());
  }

  void TearDown() override {
    mode_.reset();
    override_.reset();
    bus_.reset();
  }

  ovProxyInfoModeImpl& Mode() {
    if (!mode_) {
      mode_ = std::make_unique<ovProxyInfoModeImpl>();
      mode_->addFieldListener(kProxyInfoModeId, [this](const std::string&) {
        {
          std::lock_guard lock(mutex_);
          ++heard_;
        }
        changed_.notify_all();
      });
    }
    return *mode_;
  }

  std::unique_ptr<ovtest::ChildProcess> StartPeer() {
    auto peer = std::make_unique<ovtest::ChildProcess>(
        OV_SYNC_PEER_PATH, std::vector<std::string>{},
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime_.path()});
    EXPECT_TRUE(peer->started());
    return peer;
  }

  // Waits (bounded) until this process can look `host` up.
  bool WaitForLookup(const std::string& host) {
    std::unique_lock lock(mutex_);
    ovProxyInfo info;
    return changed_.wait_for(lock, 10s,
                             [&] { return Mode().getHostCacheMode()->lookup(host, info); });
  }

  ovtest::ScopedTempDir runtime_{"ovsync"};
  std::unique_ptr<ns_dal::UnixDalBus> bus_;
  std::unique_ptr<ns_dal::ScopedDalBusOverride> override_;
  std::unique_ptr<ovProxyInfoModeImpl> mode_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int heard_ = 0;
};

ovProxyInfo Answer(const std::string& host, int32_t port) {
  ovProxyInfo info;
  info.UseProxyServer(ovProxyServer(host, port, "HTTP"));
  return info;
}

TEST_F(ProxySyncBusTest, ConfigurationAndHostCacheCrossBetweenProcesses) {
  Mode();
  auto peer = StartPeer();
  EXPECT_EQ(peer->Ask("join"), "join nopeer") << "this process holds nothing yet";

  Mode().getConfigMode()->setPacUrl("http://wpad.corp/proxy.pac");
  Mode().getHostCacheMode()->put("intranet.corp", Answer("proxy.corp", 3128));
  EXPECT_EQ(peer->Ask("waitpacurl http://wpad.corp/proxy.pac"), "ok");
  EXPECT_EQ(peer->Ask("waitlookup intranet.corp").substr(0, 19), "ok proxy.corp:3128 ");

  EXPECT_EQ(peer->Ask("put peer.corp other.corp 8080"), "ok");
  EXPECT_TRUE(WaitForLookup("peer.corp"));
  ovProxyInfo info;
  EXPECT_TRUE(Mode().getHostCacheMode()->lookup("intranet.corp", info))
      << "the peer's put kept this process's entry";
}

TEST_F(ProxySyncBusTest, AProcessStartedLaterSeesTheSharedStateAtOnce) {
  Mode().getConfigMode()->setPacUrl("http://later.corp/p.pac");
  Mode().getHostCacheMode()->put("early.corp", Answer("proxy.corp", 8080));
  auto peer = StartPeer();
  EXPECT_EQ(peer->Ask("join"), "join applied");
  EXPECT_EQ(peer->Ask("pacurl"), "http://later.corp/p.pac");
  EXPECT_EQ(peer->Ask("lookup early.corp"), "found proxy.corp:8080");

  // A third process may take its snapshot from either of the two.
  auto third = StartPeer();
  EXPECT_EQ(third->Ask("join"), "join applied");
  EXPECT_EQ(third->Ask("lookup early.corp"), "found proxy.corp:8080");
}

}  // namespace
}  // namespace OVProxy
