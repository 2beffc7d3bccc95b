// The data-sync mode between real processes on the real bus: this test
// process and a helper process (ov_proxy_sync_peer) in a bus directory of the
// test's own.
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

}  // namespace
}  // namespace OVProxy
