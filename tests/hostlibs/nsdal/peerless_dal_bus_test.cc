#include "nsdal/peerless_dal_bus.h"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "nsdal/dal_bus.h"
#include "nsdal/ipc_helper.h"
#include "orvatask/ovt_manager.h"
#include "ovtest/task_environment.h"

namespace ns_dal {
namespace {

class RecordingDelegate final : public IDALBusDelegate {
 public:
  void OnBusMessage(const std::string& mode_id, const std::string&, const std::string&) override {
    std::lock_guard lock(mutex_);
    messages.push_back(mode_id);
  }
  std::string OnBusSnapshotRequest(const std::string&) override { return "unasked"; }
  void OnBusSnapshot(const std::string& mode_id, std::optional<std::string> text) override {
    std::lock_guard lock(mutex_);
    answers.push_back(text ? mode_id + "=" + *text : mode_id + ":none");
    answer_threads.push_back(std::this_thread::get_id());
  }

  std::mutex mutex_;
  std::vector<std::string> messages;
  std::vector<std::string> answers;
  std::vector<std::thread::id> answer_threads;
};

// The test thread serves the layer's runner, so answers wait until it runs.
class PeerlessDalBusTest : public ::testing::Test {
 protected:
  ovtest::TaskEnvironment tasks_{kDalIpcRunnerName};
};

TEST_F(PeerlessDalBusTest, EverySnapshotRequestIsAnsweredNoPeerOnceOnTheRunner) {
  PeerlessDalBus bus;
  RecordingDelegate delegate;
  bus.SetDelegate(&delegate);
  bus.RequestSnapshot("mode.a");
  bus.RequestSnapshot("mode.b");
  bus.RequestSnapshot("mode.a");
  // Not on the requester's stack: IPCHelper asks while holding its locks.
  EXPECT_TRUE(delegate.answers.empty());

  tasks_.RunUntilIdle();
  EXPECT_EQ(delegate.answers,
            (std::vector<std::string>{"mode.a:none", "mode.b:none", "mode.a:none"}));
  tasks_.RunUntilIdle();
  EXPECT_EQ(delegate.answers.size(), 3u);
  EXPECT_EQ(bus.stats().snapshots_answered, 3u);
}

TEST_F(PeerlessDalBusTest, PublishedMessagesGoNowhere) {
  PeerlessDalBus bus;
  RecordingDelegate delegate;
  bus.SetDelegate(&delegate);
  bus.Publish("mode.a", "field", "text", kAllPeers);
  bus.Publish("mode.a", "field", "text", 1234);
  tasks_.RunUntilIdle();
  EXPECT_TRUE(delegate.messages.empty());
  EXPECT_TRUE(delegate.answers.empty());
  EXPECT_EQ(bus.stats().messages_dropped, 2u);
}

TEST_F(PeerlessDalBusTest, AnswersQueuedForAGoneDelegateOrBusAreDropped) {
  RecordingDelegate delegate;
  {
    PeerlessDalBus bus;
    bus.SetDelegate(&delegate);
    bus.RequestSnapshot("mode.removed");
    bus.SetDelegate(nullptr);
    tasks_.RunUntilIdle();
    EXPECT_TRUE(delegate.answers.empty());

    bus.SetDelegate(&delegate);
    bus.RequestSnapshot("mode.destroyed");
  }
  tasks_.RunUntilIdle();
  EXPECT_TRUE(delegate.answers.empty());
}

TEST(PeerlessDalBusWithoutRunnerTest, TheAnswerComesOnTheCallerWhenNoRunnerTakesIt) {
  // No task manager: the process is shutting down. The answer is still due.
  OrvaTask::ScopedOVTManagerOverride no_manager(nullptr);
  PeerlessDalBus bus;
  RecordingDelegate delegate;
  bus.SetDelegate(&delegate);
  bus.RequestSnapshot("mode.late");
  EXPECT_EQ(delegate.answers, std::vector<std::string>{"mode.late:none"});
  EXPECT_EQ(delegate.answer_threads, std::vector<std::thread::id>{std::this_thread::get_id()});
}

#if defined(_WIN32)
class CountingSink final : public IDALIPCSink {
 public:
  std::string getModeId() const override { return "mode.win.join"; }
  std::string getSyncData() override { return {}; }
  void applySyncData(const std::string&) override { ++applied; }
  bool isSyncDataProvider() const override { return true; }
  void onSyncDataUnavailable() override { ++unavailable; }
  void onSyncData(const std::string&, const std::string&, const std::string&) override {}
  int applied = 0;
  int unavailable = 0;
};

// The process's own bus on Windows: a joining mode hears "no peer" once.
TEST_F(PeerlessDalBusTest, OnWindowsTheProcessesBusTellsAJoiningModeThereIsNoPeer) {
  CountingSink sink;
  ASSERT_TRUE(IPCHelper::AddSink("mode.win.join", &sink));
  EXPECT_EQ(IPCHelper::GetJoinState("mode.win.join"), JoinState::kPending);
  tasks_.RunUntilIdle();
  EXPECT_EQ(IPCHelper::GetJoinState("mode.win.join"), JoinState::kNoPeer);
  EXPECT_EQ(sink.unavailable, 1);
  EXPECT_EQ(sink.applied, 0);
  IPCHelper::SyncData("mode.win.join", "field", "text", kAllPeers);
  EXPECT_TRUE(IPCHelper::RemoveSink("mode.win.join", &sink));
}
#endif

}  // namespace
}  // namespace ns_dal
