#include "nsdal/ipc_helper.h"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ovtest/fake_dal_bus.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace ns_dal {
namespace {

class RecordingSink final : public IDALIPCSink {
 public:
  explicit RecordingSink(std::string mode, std::string snapshot = "")
      : mode_(std::move(mode)), snapshot_(std::move(snapshot)) {}

  std::string getModeId() const override { return mode_; }
  std::string getSyncData() override { return snapshot_; }
  void applySyncData(const std::string& text) override {
    std::lock_guard lock(mutex_);
    applied.push_back(text);
  }
  bool isSyncDataProvider() const override { return true; }
  void onSyncDataUnavailable() override {
    std::lock_guard lock(mutex_);
    ++unavailable;
  }
  void onSyncData(const std::string& mode_id, const std::string& field_id,
                  const std::string& text) override {
    std::lock_guard lock(mutex_);
    messages.push_back(mode_id + "|" + field_id + "|" + text);
  }

  std::mutex mutex_;
  std::vector<std::string> applied;
  std::vector<std::string> messages;
  int unavailable = 0;

 private:
  std::string mode_;
  std::string snapshot_;
};

TEST(IPCHelperTest, JoiningAppliesAPeersSnapshotOrReportsNoPeer) {
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
}

TEST(IPCHelperTest, MessagesReachOnlyTheSinksOfTheirModeUntilRemoved) {
  ovtest::FakeDalBus bus;
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
  ovtest::TaskEnvironment tasks(kDalIpcRunnerName);
  ovtest::FakeDalBus bus;
  int state = 0;
  int produced = 0;
  auto produce = [&]() -> std::optional<std::string> {
    ++produced;
    return "state " + std::to_string(state);
  };

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

TEST(IPCHelperTest, ASendDroppedWithItsRunnerDoesNotBlockLaterOnes) {
  ovtest::ManualClock clock;
  ovtest::FakeDalBus bus;
  auto produce = []() -> std::optional<std::string> { return "latest"; };
  {
    ovtest::TaskEnvironment dying(kDalIpcRunnerName);
    IPCHelper::SyncDataCoalesced("mode", "field", "dropped", produce);
  }  // the manager shuts down with the send still queued
  ovtest::TaskEnvironment tasks(kDalIpcRunnerName);
  IPCHelper::SyncDataCoalesced("mode", "field", "dropped", produce);
  clock.Advance(kCoalesceWindow);
  tasks.RunUntilIdle();
  EXPECT_EQ(bus.sent().size(), 1u);
}

}  // namespace
}  // namespace ns_dal
