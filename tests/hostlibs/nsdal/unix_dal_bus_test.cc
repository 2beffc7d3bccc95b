#include "nsdal/unix_dal_bus.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "nsdal/dal_bus_directory.h"
#include "ovtest/scoped_temp_dir.h"

namespace ns_dal {
namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 10s;  // bound of every wait; reached only on failure

class RecordingDelegate final : public IDALBusDelegate {
 public:
  explicit RecordingDelegate(std::string snapshot = "") : snapshot_(std::move(snapshot)) {}

  void OnBusMessage(const std::string& mode_id, const std::string& field_id,
                    const std::string& text) override {
    {
      std::lock_guard lock(mutex_);
      messages_.push_back(mode_id + "|" + field_id + "|" + text);
    }
    changed_.notify_all();
  }
  std::string OnBusSnapshotRequest(const std::string&) override { return snapshot_; }
  void OnBusSnapshot(const std::string&, std::optional<std::string> text) override {
    {
      std::lock_guard lock(mutex_);
      snapshots_.push_back(std::move(text));
    }
    changed_.notify_all();
  }

  bool WaitForMessage(const std::string& expected) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] {
      return std::find(messages_.begin(), messages_.end(), expected) != messages_.end();
    });
  }
  std::optional<std::optional<std::string>> WaitForSnapshot() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kWait, [&] { return !snapshots_.empty(); })) return std::nullopt;
    return snapshots_.front();
  }
  std::vector<std::string> messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::string snapshot_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> messages_;
  std::vector<std::optional<std::string>> snapshots_;
};

sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

// A socket bound in the bus directory under a peer's name, doing nothing.
struct RawPeer {
  explicit RawPeer(const std::string& path) : fd(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    const sockaddr_un address = UnixAddress(path);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(::listen(fd, 4), 0);
  }
  ~RawPeer() { ::close(fd); }
  int fd;
};

int ConnectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un address = UnixAddress(path);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class UnixDalBusTest : public ::testing::Test {
 protected:
  std::unique_ptr<UnixDalBus> MakeBus(RecordingDelegate* delegate,
                                      std::chrono::milliseconds stall_limit = 5s) {
    UnixDalBusOptions options;
    options.directory = dir_.path();
    options.uid = ::geteuid();
    options.stall_limit = stall_limit;
    options.answer_limit = 200ms;
    std::string error;
    auto bus = UnixDalBus::Create(options, &error);
    EXPECT_TRUE(bus) << error;
    if (bus) bus->SetDelegate(delegate);
    return bus;
  }
  std::string PathOf(const std::string& name) { return dir_.path() + "/" + name; }

  ovtest::ScopedTempDir dir_{"nsdal"};
};

TEST_F(UnixDalBusTest, MessagesAndSnapshotsCrossBetweenBuses) {
  RecordingDelegate first_delegate;
  RecordingDelegate second_delegate("second's snapshot");
  auto first = MakeBus(&first_delegate);
  auto second = MakeBus(&second_delegate);
  ASSERT_TRUE(first && second);

  // A malformed frame closes only its own connection.
  const int raw = ConnectTo(PathOf(second->socket_name()));
  ASSERT_GE(raw, 0);
  const char oversized[] = {'\x7f', '\xff', '\xff', '\xff', 'x'};
  ASSERT_EQ(::write(raw, oversized, sizeof(oversized)), static_cast<ssize_t>(sizeof(oversized)));
  EXPECT_TRUE(second->WaitForStats([](const auto& s) { return s.frames_malformed == 1; }, kWait));
  ::close(raw);

  first->Publish("mode", "field", std::string(3 * 1024 * 1024, 'x'), kAllPeers);
  first->Publish("mode", "field", "after a large one", kAllPeers);
  EXPECT_TRUE(second_delegate.WaitForMessage("mode|field|after a large one"));
  EXPECT_EQ(second_delegate.messages().size(), 2u);
  EXPECT_TRUE(first_delegate.messages().empty()) << "a bus does not hear itself";

  first->RequestSnapshot("mode");
  auto snapshot = first_delegate.WaitForSnapshot();
  ASSERT_TRUE(snapshot.has_value());
  EXPECT_EQ(*snapshot, std::optional<std::string>("second's snapshot"));
}

TEST_F(UnixDalBusTest, ASnapshotRequestWithoutAnAnsweringPeerEndsWithNone) {
  RecordingDelegate lonely;
  RecordingDelegate empty_peer;  // answers "" (nothing to share)
  auto bus = MakeBus(&lonely);
  auto peer = MakeBus(&empty_peer);
  // A peer that never answers: accepted by the kernel, never read.
  RawPeer silent(PathOf("1.0.sock"));
  bus->RequestSnapshot("mode");
  auto snapshot = lonely.WaitForSnapshot();
  ASSERT_TRUE(snapshot.has_value());
  EXPECT_EQ(*snapshot, std::nullopt);
}

TEST_F(UnixDalBusTest, APeerThatStopsReadingIsDroppedWithoutHoldingUpTheOthers) {
  RecordingDelegate sender_delegate;
  RecordingDelegate reader_delegate;
  auto sender = MakeBus(&sender_delegate, 200ms);
  auto reader = MakeBus(&reader_delegate);
  RawPeer stalled(PathOf("3.0.sock"));
  const std::string stale = PathOf("2.0.sock");
  { RawPeer dead(stale); }  // the file stays, nobody listens: the process died

  // More than a socket buffer holds: the stalled peer's queue stays full.
  const std::string chunk(64 * 1024, 'c');
  for (int i = 0; i < 12; ++i) sender->Publish("mode", "field", chunk, kAllPeers);
  sender->Publish("mode", "field", "last", kAllPeers);

  EXPECT_TRUE(reader_delegate.WaitForMessage("mode|field|last"));
  EXPECT_TRUE(sender->WaitForStats(
      [](const auto& s) { return s.peers_dropped == 1 && s.stale_sockets_removed == 1; }, kWait));
  EXPECT_EQ(reader_delegate.messages().size(), 13u);
  EXPECT_FALSE(std::filesystem::exists(stale));

  // A dropped peer is not written to again.
  sender->Publish("mode", "field", "after the drop", kAllPeers);
  EXPECT_TRUE(reader_delegate.WaitForMessage("mode|field|after the drop"));
  EXPECT_EQ(sender->stats().peers_dropped, 1u);
}

TEST_F(UnixDalBusTest, AnotherUsersProcessIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching user needs root";
  RecordingDelegate delegate;
  auto receiver = MakeBus(&delegate);
  const std::string path = PathOf(receiver->socket_name());
  // Let the other user reach the socket at all: the check under test is the
  // receiver's, not the directory's.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0777), 0);
  const std::string frame = *EncodeFrame(Frame{FrameKind::kMessage, "mode", "field", "intruder"});

  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int fd = ConnectTo(path);
    if (fd < 0) ::_exit(3);
    // The receiver may close before all of it went out; that is its answer.
    (void)::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    ::close(fd);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(
      receiver->WaitForStats([](const auto& s) { return s.connections_refused == 1; }, kWait));
  EXPECT_EQ(receiver->stats().frames_received, 0u);
  EXPECT_TRUE(delegate.messages().empty());
}

TEST(DalBusDirectoryTest, OnlyAPrivateDirectoryOfTheUserIsUsed) {
  const uint32_t uid = ::geteuid();
  struct Case {
    const char* name;
    bool use_xdg;
    int existing_mode;  // 0: absent
    bool symlink;
    bool expect_ok;
  };
  const Case cases[] = {
      {"fallback made fresh", false, 0, false, true},
      {"fallback open to others", false, 0755, false, false},
      {"fallback is a link", false, 0700, true, false},
      {"runtime dir tightened", true, 0755, false, true},
      {"runtime dir entry is a link", true, 0700, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ovtest::ScopedTempDir root("nsdir");
    const std::string target =
        c.use_xdg ? root.path() + "/orvaproxy" : root.path() + "/orvaproxy-" + std::to_string(uid);
    if (c.existing_mode != 0) {
      const std::string real = c.symlink ? root.path() + "/elsewhere" : target;
      ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
      ASSERT_EQ(::chmod(real.c_str(), c.existing_mode), 0);
      if (c.symlink) {
        ASSERT_EQ(::symlink(real.c_str(), target.c_str()), 0);
      }
    }
    std::string error;
    const auto dir =
        EnsureBusDirectory(c.use_xdg ? std::optional<std::string>(root.path()) : std::nullopt, uid,
                           root.path(), &error);
    EXPECT_EQ(dir.has_value(), c.expect_ok) << error;
    if (dir) {
      EXPECT_EQ(*dir, target);
      EXPECT_TRUE(IsPrivateDirectory(*dir, uid, &error)) << error;
    }
  }
}

}  // namespace
}  // namespace ns_dal
