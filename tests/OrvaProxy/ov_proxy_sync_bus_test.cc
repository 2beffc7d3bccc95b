// The data-sync mode between real processes on the real bus: this test
// process and helper processes (ov_proxy_sync_peer) in a bus directory of
// the test's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
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
    if (!mode_) mode_ = std::make_unique<ovProxyInfoModeImpl>();
    return *mode_;
  }

  std::unique_ptr<ovtest::ChildProcess> StartPeer() {
    auto peer = std::make_unique<ovtest::ChildProcess>(
        OV_SYNC_PEER_PATH, std::vector<std::string>{},
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime_.path()});
    EXPECT_TRUE(peer->started());
    return peer;
  }

  ovtest::ScopedTempDir runtime_{"ovsync"};
  std::unique_ptr<ns_dal::UnixDalBus> bus_;
  std::unique_ptr<ns_dal::ScopedDalBusOverride> override_;
  std::unique_ptr<ovProxyInfoModeImpl> mode_;
};

ovProxyInfo Answer(const std::string& host, int32_t port) {
  ovProxyInfo info;
  info.UseProxyServer(ovProxyServer(host, port, "HTTP"));
  return info;
}

TEST_F(ProxySyncBusTest, AProcessStartedLaterSeesTheSharedStateAtOnce) {
  Mode().getConfigMode()->setPacUrl("http://later.corp/p.pac");
  Mode().getHostCacheMode()->put("early.corp", Answer("proxy.corp", 8080));
  auto peer = StartPeer();
  EXPECT_EQ(peer->Ask("join"), "join applied");
  EXPECT_EQ(peer->Ask("pacurl"), "http://later.corp/p.pac");
  EXPECT_EQ(peer->Ask("lookup early.corp"), "found proxy.corp:8080");
}

}  // namespace
}  // namespace OVProxy
