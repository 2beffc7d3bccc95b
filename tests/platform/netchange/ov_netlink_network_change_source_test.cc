#include "platform/netchange/ov_netlink_network_change_source.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ovplatform {
namespace {

class Notifications {
 public:
  NetworkChangeSource::Callback Callback() {
    return [this] {
      std::lock_guard<std::mutex> lock(mutex_);
      ++count_;
      changed_.notify_all();
    };
  }
  // Waits for the event itself; the limit only turns a hang into a failure.
  bool WaitForAtLeast(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

TEST(NetlinkNetworkChangeSource, StartsAndStopsCleanly) {
  Notifications notifications;
  NetlinkNetworkChangeSource source;
  if (!source.Start(notifications.Callback())) GTEST_SKIP() << "no rtnetlink here";
  source.Stop();
  source.Stop();

  // Destroyed while running, without Stop.
  auto running = std::make_unique<NetlinkNetworkChangeSource>();
  EXPECT_TRUE(running->Start(notifications.Callback()));
  running.reset();
}

// Sets an interface up or down through the classic ioctl, in the calling
// thread's network namespace.
bool SetInterfaceUp(const char* name, bool up = true) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags =
      static_cast<short>(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return ok;
}

// A real change: in a network namespace of its own (a thread's own, so the
// machine's network is untouched), bringing the loopback interface up adds a
// link state, addresses and routes. Needs CAP_SYS_ADMIN and CAP_NET_ADMIN.
TEST(NetlinkNetworkChangeSource, TellsARealChangeAndStopsFromItsCallback) {
  std::string skipped;
  std::thread inNamespace([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      skipped = "cannot make a network namespace (not root?)";
      return;
    }
    Notifications notifications;
    auto source = std::make_unique<NetlinkNetworkChangeSource>();
    if (!source->Start(notifications.Callback())) {
      skipped = "no rtnetlink here";
      return;
    }
    ASSERT_TRUE(SetInterfaceUp("lo"));
    EXPECT_TRUE(notifications.WaitForAtLeast(1));
    source->Stop();

    // A source whose callback destroys it: the thread ends on its own.
    std::unique_ptr<NetlinkNetworkChangeSource> selfStopping =
        std::make_unique<NetlinkNetworkChangeSource>();
    std::mutex mutex;
    std::condition_variable stopped;
    bool done = false;
    ASSERT_TRUE(selfStopping->Start([&] {
      std::lock_guard<std::mutex> lock(mutex);
      selfStopping.reset();
      done = true;
      stopped.notify_all();
    }));
    ASSERT_TRUE(SetInterfaceUp("lo", false));
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(stopped.wait_for(lock, std::chrono::seconds(30), [&] { return done; }));
  });
  inNamespace.join();
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

}  // namespace
}  // namespace ovplatform
