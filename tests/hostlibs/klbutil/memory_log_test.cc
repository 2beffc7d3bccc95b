#include "klbutil/memory_log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ovtest/log_capture.h"

namespace klb {
namespace {

class MemoryLogTest : public ::testing::Test {
 protected:
  void TearDown() override { MemoryLog::Instance().SetCapacity(MemoryLog::kDefaultCapacity); }
  ovtest::LogCapture capture_;
};

TEST_F(MemoryLogTest, RingKeepsTheNewestInOrder) {
  MemoryLog::Instance().SetCapacity(3);
  for (int i = 0; i < 7; ++i) {
    MemoryLog::Instance().Write(1, LogLevel::kInfo, "LABEL000000", std::to_string(i));
  }
  auto records = capture_.Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].message, "4");
  EXPECT_EQ(records[2].message, "6");

  // Shrinking keeps the newest ones, still in order.
  MemoryLog::Instance().SetCapacity(2);
  records = capture_.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, "5");
  EXPECT_EQ(records[1].message, "6");
}

TEST_F(MemoryLogTest, ConcurrentWritersLoseNothingWithinCapacity) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kPerThread; ++i) {
        MemoryLog::Instance().Write(1, LogLevel::kInfo, "LABEL000000", "m");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(capture_.Records().size(), static_cast<size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace klb
