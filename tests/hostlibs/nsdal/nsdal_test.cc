#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "nsdal/dal_bus.h"
#include "nsdal/dal_frame.h"
#include "nsdal/ipc_helper.h"
#include "nsdal/peerless_dal_bus.h"
#if defined(_WIN32)
// clang-format off
#include <windows.h>
#include <aclapi.h>
// clang-format on

#include "nsdal/pipe_dal_bus.h"
#endif
#include "orvatask/ovt_manager.h"
#include "ovtest/fake_dal_bus.h"
#include "ovtest/manual_clock.h"
#include "ovtest/scoped_temp_dir.h"
#include "ovtest/task_environment.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "nsdal/dal_bus_directory.h"
#include "nsdal/unix_dal_bus.h"
#include "ovtest/child_process.h"
#endif

namespace ns_dal {
namespace {

// What a bus hands its delegate, as text: messages as "mode|field|text",
// snapshot answers as "mode=text" or "mode:none". Waits are bounded; the
// bound is reached only on failure.
class RecordingDelegate final : public IDALBusDelegate {
 public:
  explicit RecordingDelegate(std::string snapshot = "") : snapshot_(std::move(snapshot)) {}

  void OnBusMessage(const std::string& mode_id, const std::string& field_id,
                    const std::string& text) override {
    Add(messages_, mode_id + "|" + field_id + "|" + text);
  }
  std::string OnBusSnapshotRequest(const std::string&) override { return snapshot_; }
  void OnBusSnapshot(const std::string& mode_id, std::optional<std::string> text) override {
    Add(answers_, text ? mode_id + "=" + *text : mode_id + ":none");
  }

  std::vector<std::string> messages() { return Wait(messages_, ""); }
  std::vector<std::string> answers() { return Wait(answers_, ""); }
  bool WaitForMessage(const std::string& expected) {
    return std::ranges::count(Wait(messages_, expected), expected) > 0;
  }
  std::string WaitForAnswer() {
    const auto answers = Wait(answers_, "any");
    return answers.empty() ? "no answer" : answers.front();
  }

 private:
  void Add(std::vector<std::string>& list, std::string item) {
    std::lock_guard lock(mutex_);
    list.push_back(std::move(item));
    changed_.notify_all();
  }
  // A copy of `list` once it holds `expected` ("any": anything; "": no wait).
  std::vector<std::string> Wait(const std::vector<std::string>& list, const std::string& expected) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      return expected.empty() ||
             (expected == "any" ? !list.empty() : std::ranges::count(list, expected) > 0);
    });
    return list;
  }

  const std::string snapshot_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> messages_, answers_;
};

// A large message and a small one from `first` reach `second` (only), and
// `first` gets `second`'s snapshot ("second's snapshot").
void ExpectMessagesAndSnapshotsCross(IDALBus& first, RecordingDelegate& first_delegate,
                                     RecordingDelegate& second_delegate) {
  first.Publish("mode", "field", std::string(3 * 1024 * 1024, 'x'), kAllPeers);
  first.Publish("mode", "field", "after a large one", kAllPeers);
  EXPECT_TRUE(second_delegate.WaitForMessage("mode|field|after a large one"));
  EXPECT_EQ(second_delegate.messages().size(), 2u);
  EXPECT_TRUE(first_delegate.messages().empty()) << "a bus does not hear itself";
  first.RequestSnapshot("mode");
  EXPECT_EQ(first_delegate.WaitForAnswer(), "mode=second's snapshot");
}

std::string Encoded(const Frame& frame) {
  auto bytes = EncodeFrame(frame);
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or("");
}

// A body with the given fields, prefixed with its (or a forced) length.
std::string RawFrame(std::string body, std::optional<uint32_t> length = std::nullopt) {
  const uint32_t size = length.value_or(static_cast<uint32_t>(body.size()));
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((size >> shift) & 0xff));
  return out + body;
}

TEST(DalFrameTest, FramesSurviveEverySplitOfTheStream) {
  const std::vector<Frame> frames = {
      {FrameKind::kMessage, "mode", "field", "{\"operation\":\"x\"}"},
      {FrameKind::kSnapshotRequest, "mode", "", "123.0.sock"},
      {FrameKind::kSnapshotAnswer, "m", "9.1.sock", ""},
      {FrameKind::kMessage, std::string(kMaxIdBytes, 'm'), std::string(kMaxIdBytes, 'f'),
       std::string("bin\0ary\xff", 8)},
      {FrameKind::kMessage, "mode", "field", std::string(200000, 'p')},
  };
  std::string stream;
  for (const Frame& frame : frames) stream += Encoded(frame);

  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, stream.size()}) {
    SCOPED_TRACE(chunk);
    FrameReader reader;
    std::vector<Frame> out;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      reader.Feed(stream.data() + at, std::min(chunk, stream.size() - at));
      Frame frame;
      std::string error;
      FrameReader::Result result;
      while ((result = reader.Next(&frame, &error)) == FrameReader::Result::kFrame) {
        out.push_back(frame);
      }
      ASSERT_EQ(result, FrameReader::Result::kNeedMore) << error;
    }
    EXPECT_EQ(out, frames);
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(DalFrameTest, MalformedFramesFailTheStreamAndAreNotEncoded) {
  const std::string id_too_long(kMaxIdBytes + 1, 'x');
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"length over the limit", RawFrame("", kMaxFrameBytes + 1)},
      {"empty body", RawFrame("")},
      {"unknown version", RawFrame(std::string("\x02\x01\x00\x01m\x00\x00", 7))},
      {"mode longer than the body", RawFrame(std::string("\x01\x01\x00\x09m\x00\x00", 7))},
      {"mode id over the limit",
       RawFrame(std::string("\x01\x01\x04\x01", 4) + id_too_long + std::string("\x00\x00", 2))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameReader reader;
    reader.Feed(c.bytes.data(), c.bytes.size());
    // A valid frame after the bad one is not reached: the stream is lost.
    const std::string next = Encoded(Frame{FrameKind::kMessage, "mode", "f", "t"});
    reader.Feed(next.data(), next.size());
    Frame frame;
    std::string error;
    EXPECT_EQ(reader.Next(&frame, &error), FrameReader::Result::kError);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(reader.Next(&frame, &error), FrameReader::Result::kError);
  }
  // Encoding refuses what a reader would; a reader with a smaller limit
  // refuses a frame the default one takes.
  EXPECT_FALSE(EncodeFrame(Frame{FrameKind::kMessage, id_too_long, "", ""}));
  const Frame long_text{FrameKind::kMessage, "m", "f", std::string(100, 't')};
  EXPECT_FALSE(EncodeFrame(long_text, 50));
  const std::string bytes = Encoded(long_text);
  FrameReader small(50);
  small.Feed(bytes.data(), bytes.size());
  Frame frame;
  EXPECT_EQ(small.Next(&frame, nullptr), FrameReader::Result::kError);
}

// The layer calls its sinks on the test thread here (the fake bus delivers
// on the caller, the runner is the test thread's).
struct RecordingSink final : IDALIPCSink {
  explicit RecordingSink(std::string mode_id, std::string sync_data = "")
      : mode(std::move(mode_id)), snapshot(std::move(sync_data)) {}
  std::string getModeId() const override { return mode; }
  std::string getSyncData() override { return snapshot; }
  void applySyncData(const std::string& text) override { applied.push_back(text); }
  bool isSyncDataProvider() const override { return true; }
  void onSyncDataUnavailable() override { ++unavailable; }
  void onSyncData(const std::string& mode_id, const std::string& field_id,
                  const std::string& text) override {
    messages.push_back(mode_id + "|" + field_id + "|" + text);
  }

  const std::string mode, snapshot;
  std::vector<std::string> applied, messages;
  int unavailable = 0;
};

TEST(IPCHelperTest, JoiningAppliesAPeersSnapshotOrReportsNoPeerAndMessagesReachTheirMode) {
  ovtest::FakeDalBus bus;
  RecordingSink sink("mode.join");
  ASSERT_TRUE(IPCHelper::AddSink("mode.join", &sink));
  EXPECT_EQ(bus.snapshot_requests(), 1);
  EXPECT_EQ(IPCHelper::GetJoinState("mode.join"), JoinState::kPending);

  bus.AnswerSnapshot("mode.join", std::string("snapshot-1"));
  EXPECT_EQ(IPCHelper::GetJoinState("mode.join"), JoinState::kApplied);
  EXPECT_EQ(sink.applied, std::vector<std::string>{"snapshot-1"});

  IPCHelper::RequestSnapshot("mode.join");
  bus.AnswerSnapshot("mode.join", std::nullopt);
  EXPECT_EQ(IPCHelper::WaitForJoin("mode.join", std::chrono::milliseconds(0)), JoinState::kNoPeer);
  EXPECT_EQ(sink.unavailable, 1);
  EXPECT_EQ(sink.applied.size(), 1u);
  EXPECT_TRUE(IPCHelper::RemoveSink("mode.join", &sink));

  // Messages reach only the sinks of their mode, until removed.
  RecordingSink a("mode.a", "snap-a");
  RecordingSink b("mode.b");
  IPCHelper::AddSink("mode.a", &a);
  IPCHelper::AddSink("mode.b", &b);

  bus.Deliver("mode.a", "field", "one");
  bus.Deliver("mode.c", "field", "nobody");
  EXPECT_EQ(a.messages, std::vector<std::string>{"mode.a|field|one"});
  EXPECT_TRUE(b.messages.empty());
  EXPECT_EQ(bus.AskSnapshot("mode.a"), "snap-a");

  IPCHelper::RemoveSink("mode.a", &a);
  bus.Deliver("mode.a", "field", "two");
  EXPECT_EQ(a.messages.size(), 1u);
  EXPECT_EQ(bus.AskSnapshot("mode.a"), "");
  IPCHelper::RemoveSink("mode.b", &b);
}

TEST(IPCHelperTest, CoalescedSendsLeaveOncePerWindowWithTheLatestState) {
  ovtest::ManualClock clock;
  ovtest::FakeDalBus bus;
  int state = 0;
  int produced = 0;
  auto produce = [&]() -> std::optional<std::string> {
    ++produced;
    return "state " + std::to_string(state);
  };
  {
    ovtest::TaskEnvironment dying(kDalIpcRunnerName);
    IPCHelper::SyncDataCoalesced("mode", "field", "whole", produce);
  }  // the manager shuts down with the send still queued: it must not block later ones
  ovtest::TaskEnvironment tasks(kDalIpcRunnerName);

  for (state = 1; state <= 1000; ++state) {
    IPCHelper::SyncDataCoalesced("mode", "field", "whole", produce);
  }
  state = 1000;
  tasks.RunUntilIdle();
  EXPECT_TRUE(bus.sent().empty()) << "nothing leaves before the window ends";

  clock.Advance(kCoalesceWindow);
  tasks.RunUntilIdle();
  ASSERT_EQ(bus.sent().size(), 1u);
  EXPECT_EQ(bus.sent()[0].text, "state 1000");
  EXPECT_EQ(produced, 1);

  // Another key is independent; an owner that is gone sends nothing.
  IPCHelper::SyncDataCoalesced("mode", "field", "whole", produce);
  IPCHelper::SyncDataCoalesced("mode", "field", "other",
                               []() -> std::optional<std::string> { return std::nullopt; });
  clock.Advance(kCoalesceWindow);
  tasks.RunUntilIdle();
  EXPECT_EQ(bus.sent().size(), 2u);
}

// The test thread serves the layer's runner, so answers wait until it runs.
class PeerlessDalBusTest : public ::testing::Test {
 protected:
  ovtest::TaskEnvironment tasks_{kDalIpcRunnerName};
};

TEST_F(PeerlessDalBusTest, AnswersNoPeerOnceOnTheRunnerAndDropsMessagesAndStaleAnswers) {
  PeerlessDalBus bus;
  RecordingDelegate delegate;
  bus.SetDelegate(&delegate);
  bus.RequestSnapshot("mode.a");
  bus.RequestSnapshot("mode.b");
  bus.RequestSnapshot("mode.a");
  // Not on the requester's stack: IPCHelper asks while holding its locks.
  EXPECT_TRUE(delegate.answers().empty());

  tasks_.RunUntilIdle();
  EXPECT_EQ(delegate.answers(),
            (std::vector<std::string>{"mode.a:none", "mode.b:none", "mode.a:none"}));
  tasks_.RunUntilIdle();
  EXPECT_EQ(delegate.answers().size(), 3u);
  EXPECT_EQ(bus.stats().snapshots_answered, 3u);

  // Published messages go nowhere.
  bus.Publish("mode.a", "field", "text", kAllPeers);
  bus.Publish("mode.a", "field", "text", 1234);
  tasks_.RunUntilIdle();
  EXPECT_TRUE(delegate.messages().empty());
  EXPECT_EQ(delegate.answers().size(), 3u);
  EXPECT_EQ(bus.stats().messages_dropped, 2u);

  // Answers queued for a delegate that was removed, or a bus that is gone,
  // are dropped.
  bus.RequestSnapshot("mode.removed");
  bus.SetDelegate(nullptr);
  tasks_.RunUntilIdle();
  bus.SetDelegate(&delegate);
  {
    PeerlessDalBus gone;
    gone.SetDelegate(&delegate);
    gone.RequestSnapshot("mode.destroyed");
  }
  tasks_.RunUntilIdle();
  EXPECT_EQ(delegate.answers().size(), 3u);

  // No task manager (the process is shutting down): the answer is still due,
  // before the call returns, as no other thread exists that could give it.
  OrvaTask::ScopedOVTManagerOverride no_manager(nullptr);
  bus.RequestSnapshot("mode.late");
  EXPECT_EQ(delegate.answers(), (std::vector<std::string>{"mode.a:none", "mode.b:none",
                                                          "mode.a:none", "mode.late:none"}));
}

#if defined(_WIN32)
using namespace std::chrono_literals;

// Two buses of this process in a rendezvous directory of the test's own.
class PipeDalBusTest : public ::testing::Test {
 protected:
  std::unique_ptr<PipeDalBus> MakeBus(RecordingDelegate* delegate,
                                      std::chrono::milliseconds stall_limit = 5s) {
    std::string error;
    DalBusOptions options{.directory = directory_.path() + "\\bus",
                          .stall_limit = stall_limit,
                          .answer_limit = 200ms};
    auto bus = PipeDalBus::Create(options, &error);
    EXPECT_TRUE(bus) << error;
    if (bus) bus->SetDelegate(delegate);
    return bus;
  }
  static HANDLE OpenPipe(const std::string& name, DWORD access, DWORD flags = 0) {
    const std::wstring path = std::filesystem::path(PipeDalBus::PipePath(name)).wstring();
    return CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  }

  ovtest::ScopedTempDir directory_{"nsdal"};
};

TEST_F(PipeDalBusTest, MessagesAndSnapshotsCrossAndAFrameOverTheLimitEndsItsConnection) {
  RecordingDelegate first_delegate;
  RecordingDelegate second_delegate("second's snapshot");
  auto first = MakeBus(&first_delegate);
  auto second = MakeBus(&second_delegate);
  ASSERT_TRUE(first && second);

  // A length over the limit: the receiver closes the connection at once.
  HANDLE raw = OpenPipe(second->socket_name(), GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
  ASSERT_NE(raw, INVALID_HANDLE_VALUE);
  OVERLAPPED io{};
  io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const char oversized[] = {'\x7f', '\xff', '\xff', '\xff', 'x'};
  DWORD bytes = 0;
  if (!WriteFile(raw, oversized, sizeof(oversized), nullptr, &io)) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  }
  ASSERT_TRUE(GetOverlappedResult(raw, &io, &bytes, TRUE));
  // The receiver never writes: the read ends when it closes its end.
  char byte = 0;
  ResetEvent(io.hEvent);
  ASSERT_FALSE(ReadFile(raw, &byte, 1, nullptr, &io)) << "the receiver wrote";
  if (GetLastError() == ERROR_IO_PENDING) {
    const bool ended = WaitForSingleObject(io.hEvent, 10000) == WAIT_OBJECT_0;
    EXPECT_TRUE(ended) << "the connection is still open";
    if (!ended) CancelIoEx(raw, &io);
    EXPECT_FALSE(GetOverlappedResult(raw, &io, &bytes, TRUE));
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_EQ(second->stats().frames_malformed, 1u);
  CloseHandle(io.hEvent);
  CloseHandle(raw);

  ExpectMessagesAndSnapshotsCross(*first, first_delegate, second_delegate);

  // A name left without its pipe (its process ended) is removed; a bus that
  // ends takes its own name with it.
  const std::string dead = first->directory() + "\\999999.0.pipe";
  CloseHandle(CreateFileW(std::filesystem::path(dead).wstring().c_str(), GENERIC_WRITE, 0, nullptr,
                          CREATE_ALWAYS, 0, nullptr));
  const std::string second_file = second->directory() + "\\" + second->socket_name();
  ASSERT_TRUE(std::filesystem::exists(second_file));
  second.reset();
  EXPECT_FALSE(std::filesystem::exists(second_file));
  first->Publish("mode", "field", "to no one", kAllPeers);
  EXPECT_TRUE(first->WaitForStats([](const auto& s) { return s.stale_sockets_removed == 1; }, 10s));
  EXPECT_FALSE(std::filesystem::exists(dead));
}

// Overlapped writes that never complete and reads that never finish a frame
// are cut off at the stall limit, and the bus still ends at once.
TEST_F(PipeDalBusTest, StalledConnectionsAreCutOffBothWays) {
  RecordingDelegate delegate;
  auto bus = MakeBus(&delegate, 200ms);
  ASSERT_TRUE(bus);

  // A peer of this user that accepts and never reads: its name in the
  // directory, its pipe with a small buffer.
  const std::string name = "4000000000.7.pipe";
  const std::wstring path = std::filesystem::path(PipeDalBus::PipePath(name)).wstring();
  HANDLE silent =
      CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 4096, 0, nullptr);
  ASSERT_NE(silent, INVALID_HANDLE_VALUE);
  CloseHandle(CreateFileW(std::filesystem::path(bus->directory() + "\\" + name).wstring().c_str(),
                          GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  bus->Publish("mode", "field", std::string(1024 * 1024, 'x'), kAllPeers);
  EXPECT_TRUE(bus->WaitForStats([](const auto& s) { return s.peers_dropped == 1; }, 10s));
  CloseHandle(silent);

  // A partial frame that stops coming closes the connection.
  HANDLE raw = OpenPipe(bus->socket_name(), GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(raw, INVALID_HANDLE_VALUE);
  const char partial[] = {'\0', '\0', '\0', '\x40', '\x01'};
  DWORD bytes = 0;
  ASSERT_TRUE(WriteFile(raw, partial, sizeof(partial), &bytes, nullptr));
  EXPECT_TRUE(bus->WaitForStats([](const auto& s) { return s.connections_closed == 1; }, 10s));
  CloseHandle(raw);
}

TEST_F(PipeDalBusTest, ThePipeGrantsTheUserAloneAndItsNameCannotBeTaken) {
  RecordingDelegate delegate;
  auto bus = MakeBus(&delegate);
  ASSERT_TRUE(bus);
  HANDLE pipe = OpenPipe(bus->socket_name(), READ_CONTROL);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(pipe);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  std::vector<BYTE> user(256);
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user.data(), 256, &size));
  CloseHandle(token);
  const PSID own = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;

  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 1) << "one entry: the user's";
  ACE_HEADER* ace = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
  ASSERT_EQ(ace->AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_TRUE(EqualSid(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, own));
  LocalFree(descriptor);

  // No one can create a first instance under the name while the bus lives.
  const std::wstring path =
      std::filesystem::path(PipeDalBus::PipePath(bus->socket_name())).wstring();
  HANDLE squatter =
      CreateNamedPipeW(path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                       PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr);
  EXPECT_EQ(squatter, INVALID_HANDLE_VALUE);
  if (squatter != INVALID_HANDLE_VALUE) CloseHandle(squatter);
}
#endif

#if !defined(_WIN32)
// The Unix bus (none on Windows). Waits are bounded; reached only on failure.
using namespace std::chrono_literals;
constexpr auto kWait = 10s;

// A socket at `path`, listening or connected; -1 when that failed.
int UnixSocket(const std::string& path, bool listening) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  const auto* a = reinterpret_cast<const sockaddr*>(&address);
  if (listening ? ::bind(fd, a, sizeof(address)) == 0 && ::listen(fd, 4) == 0
                : ::connect(fd, a, sizeof(address)) == 0) {
    return fd;
  }
  ::close(fd);
  return -1;
}

// A socket bound in the bus directory under a peer's name, doing nothing.
struct RawPeer {
  explicit RawPeer(const std::string& path) : fd(UnixSocket(path, true)) { EXPECT_GE(fd, 0); }
  ~RawPeer() { ::close(fd); }
  int fd;
};

class UnixDalBusTest : public ::testing::Test {
 protected:
  std::unique_ptr<UnixDalBus> MakeBus(RecordingDelegate* delegate,
                                      std::chrono::milliseconds stall_limit = 5s,
                                      const std::function<void(UnixDalBusOptions&)>& tune = {}) {
    std::string error;
    UnixDalBusOptions options{.directory = directory_,
                              .uid = ::geteuid(),
                              .stall_limit = stall_limit,
                              .answer_limit = 200ms};
    if (tune) tune(options);
    auto bus = UnixDalBus::Create(options, &error);
    EXPECT_TRUE(bus) << error;
    if (bus) bus->SetDelegate(delegate);
    return bus;
  }
  std::string PathOf(const std::string& name) { return directory_ + "/" + name; }
  // A process of its own on the bus (nsdal_bus_peer), in this directory.
  std::unique_ptr<ovtest::ChildProcess> StartPeer() {
    auto peer = std::make_unique<ovtest::ChildProcess>(
        NSDAL_BUS_PEER_PATH, std::vector<std::string>{},
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime_.path()});
    EXPECT_TRUE(peer->started());
    return peer;
  }

  ovtest::ScopedTempDir runtime_{"nsdal"};
  // What a process with XDG_RUNTIME_DIR=runtime_ uses.
  const std::string directory_ =
      EnsureBusDirectory(runtime_.path(), ::geteuid(), "/tmp", nullptr).value_or("");
};

TEST_F(UnixDalBusTest, MessagesAndSnapshotsCrossBetweenBuses) {
  RecordingDelegate first_delegate;
  RecordingDelegate second_delegate("second's snapshot");
  auto first = MakeBus(&first_delegate);
  auto second = MakeBus(&second_delegate);
  ASSERT_TRUE(first && second);

  // A malformed frame closes only its own connection.
  const int raw = UnixSocket(PathOf(second->socket_name()), false);
  ASSERT_GE(raw, 0);
  const char oversized[] = {'\x7f', '\xff', '\xff', '\xff', 'x'};
  ASSERT_EQ(::write(raw, oversized, sizeof(oversized)), static_cast<ssize_t>(sizeof(oversized)));
  EXPECT_TRUE(second->WaitForStats([](const auto& s) { return s.frames_malformed == 1; }, kWait));
  ::close(raw);

  ExpectMessagesAndSnapshotsCross(*first, first_delegate, second_delegate);
}

TEST_F(UnixDalBusTest, ASnapshotRequestWithoutAnAnsweringPeerEndsWithNone) {
  RecordingDelegate lonely;
  RecordingDelegate empty_peer;  // answers "" (nothing to share)
  auto bus = MakeBus(&lonely);
  auto peer = MakeBus(&empty_peer);
  // A peer that never answers: accepted by the kernel, never read.
  RawPeer silent(PathOf("1.0.sock"));
  bus->RequestSnapshot("mode");
  EXPECT_EQ(lonely.WaitForAnswer(), "mode:none");
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

// Descriptors this process holds.
std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

TEST_F(UnixDalBusTest, AStoppedPeerHearsAgainAfterItContinues) {
  RecordingDelegate delegate;
  auto sender = MakeBus(&delegate, 100ms, [](UnixDalBusOptions& o) { o.drop_backoff = 20ms; });
  auto peer = StartPeer();
  ASSERT_EQ(peer->Ask("join mode"), "join nopeer");
  sender->Publish("mode", "field", "before", kAllPeers);
  ASSERT_EQ(peer->Ask("wait mode before"), "heard");

  ASSERT_EQ(::kill(peer->pid(), SIGSTOP), 0);
  const std::string chunk(64 * 1024, 'c');  // more than the socket holds
  for (int i = 0; i < 12; ++i) sender->Publish("mode", "field", chunk, kAllPeers);
  ASSERT_TRUE(sender->WaitForStats([](const auto& s) { return s.peers_dropped == 1; }, kWait));
  ASSERT_EQ(::kill(peer->pid(), SIGCONT), 0);

  // Written to again once the back-off passed.
  bool back = false;
  for (int i = 0; i < 200 && !back; ++i) {
    sender->Publish("mode", "field", "after", kAllPeers);
    back = sender->WaitForStats([](const auto& s) { return s.peers_retried == 1; }, 50ms);
  }
  EXPECT_TRUE(back);
  EXPECT_EQ(peer->Ask("wait mode after"), "heard");
}

TEST_F(UnixDalBusTest, AShortLivedProcesssLastMessageReachesTheOthers) {
  RecordingDelegate delegate;
  auto bus = MakeBus(&delegate);
  auto peer = StartPeer();
  ASSERT_EQ(peer->Ask("join mode"), "join nopeer");
  // The process ends well inside the coalescing window.
  EXPECT_EQ(peer->Ask("sendexit mode last-words"), "");
  EXPECT_TRUE(delegate.WaitForMessage("mode|field|last-words"));
}

TEST_F(UnixDalBusTest, PeersThatEndedLeaveNoDescriptorBehind) {
  RecordingDelegate delegate("state");
  auto bus = MakeBus(&delegate, 5s, [](UnixDalBusOptions& o) { o.sweep_interval = 10ms; });
  const std::size_t before = OpenDescriptors();
  constexpr int kPeers = 4;
  for (int i = 0; i < kPeers; ++i) {
    auto peer = StartPeer();
    EXPECT_EQ(peer->Ask("join mode"), "join applied");  // answering opens a connection to it
  }
  EXPECT_TRUE(bus->WaitForStats([](const auto& s) { return s.links_closed == kPeers; }, kWait));
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(UnixDalBusTest, AConnectionsCostIsBounded) {
  RecordingDelegate delegate("state");
  constexpr std::size_t kBudget = 1024 * 1024;
  auto bus = MakeBus(&delegate, 5s, [](UnixDalBusOptions& o) {
    o.max_buffered_bytes = kBudget;
    o.receive_idle_limit = 50ms;
    o.snapshot_answers_per_second = 5;
  });
  const std::string path = PathOf(bus->socket_name());

  // Another process sends one endless frame: it is cut off near the budget.
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const std::string header = RawFrame("", 8 * 1024 * 1024);  // no allocation after fork
  const pid_t writer = ::fork();
  if (writer == 0) {
    const int fd = UnixSocket(path, false);
    uint64_t sent = 0;
    if (fd >= 0 && ::send(fd, header.data(), 4, MSG_NOSIGNAL) == 4) {
      static const char zeros[16 * 1024] = {};
      ssize_t n = 0;
      while (sent < 8 * 1024 * 1024 - sizeof(zeros) &&
             (n = ::send(fd, zeros, sizeof(zeros), MSG_NOSIGNAL)) > 0) {
        sent += static_cast<uint64_t>(n);
      }
    }
    (void)!::write(out[1], &sent, sizeof(sent));
    ::_exit(0);
  }
  ::close(out[1]);
  uint64_t sent = 0;
  ASSERT_EQ(::read(out[0], &sent, sizeof(sent)), static_cast<ssize_t>(sizeof(sent)));
  ::close(out[0]);
  ::waitpid(writer, nullptr, 0);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, 2 * kBudget) << "the receiver took the frame past its budget";

  // A silent connection is closed; snapshot requests beyond the rate get
  // "none" without asking the delegate.
  const auto closed = bus->stats().connections_closed;
  const int idle = UnixSocket(path, false);
  ASSERT_GE(idle, 0);
  EXPECT_TRUE(
      bus->WaitForStats([&](const auto& s) { return s.connections_closed == closed + 1; }, kWait));
  ::close(idle);
  const int asking = UnixSocket(path, false);
  std::string requests;
  for (int i = 0; i < 20; ++i) {
    requests += Encoded(Frame{FrameKind::kSnapshotRequest, "mode", "", "1.0.sock"});
  }
  ASSERT_EQ(::write(asking, requests.data(), requests.size()),
            static_cast<ssize_t>(requests.size()));
  EXPECT_TRUE(bus->WaitForStats([](const auto& s) { return s.frames_received == 20; }, kWait));
  const auto refused = bus->stats().snapshots_refused;
  EXPECT_GE(refused, 14u);
  EXPECT_LE(refused, 15u);
  ::close(asking);
}

TEST_F(UnixDalBusTest, AStartingProcessIsNeverTakenForADeadOne) {
  RecordingDelegate delegate;
  auto prober = MakeBus(&delegate);
  // Connects to every name as fast as it can while buses start.
  std::atomic<bool> done{false};
  std::atomic<int> refused{0};
  std::thread probe([&] {
    while (!done.load()) {
      for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".sock") && name != prober->socket_name()) {
          const int fd = UnixSocket(entry.path().string(), false);
          if (fd < 0 && errno == ECONNREFUSED && std::filesystem::exists(entry.path())) ++refused;
          if (fd >= 0) ::close(fd);
        }
      }
    }
  });
  std::vector<std::unique_ptr<UnixDalBus>> started;
  for (int i = 0; i < 200; ++i) started.push_back(MakeBus(&delegate));
  done = true;
  probe.join();
  EXPECT_EQ(refused.load(), 0);
  std::size_t names = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
    EXPECT_TRUE(entry.path().filename().string().ends_with(".sock")) << entry.path();
    ++names;
  }
  EXPECT_EQ(names, started.size() + 1);
}

TEST_F(UnixDalBusTest, AnotherUsersProcessIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching user needs root";
  RecordingDelegate delegate;
  auto receiver = MakeBus(&delegate);
  const std::string path = PathOf(receiver->socket_name());
  // Let the other user reach the socket at all: the check under test is the
  // receiver's, not the directory's.
  ASSERT_EQ(::chmod(runtime_.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(directory_.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0777), 0);
  const std::string frame = *EncodeFrame(Frame{FrameKind::kMessage, "mode", "field", "intruder"});

  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int fd = UnixSocket(path, false);
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

TEST_F(UnixDalBusTest, ASocketOfAnotherUserIsNotWrittenTo) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching user needs root";
  RecordingDelegate delegate;
  auto sender = MakeBus(&delegate);
  ASSERT_EQ(::chmod(runtime_.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(directory_.c_str(), 0777), 0);
  const std::string path = PathOf("77.0.sock");
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // Listens under a peer's name, then tells whether any byte came.
    ::close(go[1]);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int fd = UnixSocket(path, true);
    if (fd < 0) ::_exit(3);
    (void)!::write(ready[1], "r", 1);
    char byte = 0;
    (void)!::read(go[0], &byte, 1);
    const int connection = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK);
    ::_exit(connection >= 0 && ::recv(connection, &byte, 1, MSG_DONTWAIT) > 0 ? 1 : 0);
  }
  ::close(ready[1]);
  ::close(go[0]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  sender->Publish("mode", "field", "secret", kAllPeers);
  EXPECT_TRUE(sender->WaitForStats([](const auto& s) { return s.listeners_refused == 1; }, kWait));
  ::close(go[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(ready[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other user's socket was written to";
}

TEST(DalBusDirectoryTest, OnlyAPrivateDirectoryOfTheUserIsUsed) {
  const uint32_t uid = ::geteuid();
  const struct {
    const char* name;
    bool use_xdg;
    int existing_mode;  // 0: absent
    bool symlink;
    bool expect_ok;
  } cases[] = {
      {"fallback made fresh", false, 0, false, true},
      {"fallback open to others", false, 0755, false, false},
      {"fallback is a link", false, 0700, true, false},
      {"runtime dir tightened", true, 0755, false, true},
      {"runtime dir entry is a link", true, 0700, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ovtest::ScopedTempDir root("nsdir");
    const std::string target =
        c.use_xdg ? root.path() + "/orvaproxy" : root.path() + "/orvaproxy-" + std::to_string(uid);
    if (c.existing_mode != 0) {
      const std::string real = c.symlink ? root.path() + "/elsewhere" : target;
      ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
      ASSERT_EQ(::chmod(real.c_str(), c.existing_mode), 0);
      ASSERT_TRUE(!c.symlink || ::symlink(real.c_str(), target.c_str()) == 0);
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
  // A runtime directory others may write to, or of another user, is passed
  // over for the private one under the temporary root.
  for (const auto& [mode, owner] : {std::pair{0777, uid}, std::pair{0700, uid + 1}}) {
    ovtest::ScopedTempDir root("nsdir");
    const std::string runtime = root.path() + "/run";
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(runtime.c_str(), mode), 0);
    if (owner != uid && (::geteuid() != 0 || ::chown(runtime.c_str(), owner, -1) != 0)) continue;
    std::string error;
    EXPECT_EQ(EnsureBusDirectory(runtime, uid, root.path(), &error),
              root.path() + "/orvaproxy-" + std::to_string(uid))
        << error;
  }
}

#endif

}  // namespace
}  // namespace ns_dal
