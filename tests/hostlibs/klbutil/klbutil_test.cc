#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "klbutil/klb_ini.h"
#include "klbutil/klb_ipv4.h"
#include "klbutil/memory_log.h"
#include "ovtest/log_capture.h"

namespace klb {
namespace {

TEST(KlbIni, SectionsAndValuesIgnoreLetterCaseAndBooleansReadLeniently) {
  ini_t ini;
  EXPECT_EQ(ini.add_key("Proxy"), 0u);
  EXPECT_EQ(ini.add_key("PROXY"), 0u);
  ini.set_value("proxy", "Server", "a:80");
  ini.set_value("Proxy", "SERVER", "b:80");  // replaces
  ini.set_value("Other", "Server", "c:80");
  EXPECT_EQ(ini.key_count(), 2u);
  EXPECT_EQ(ini.key_name(0), "Proxy");
  EXPECT_EQ(ini.read_string("PROXY", "server", "-"), "b:80");
  EXPECT_EQ(ini.read_string("Proxy", "missing", "-"), "-");
  EXPECT_EQ(ini.read_string("Missing", "Server", "-"), "-");
  EXPECT_EQ(ini.values("Proxy"),
            (std::vector<std::pair<std::string, std::string>>{{"Server", "b:80"}}));
  // A copy keeps working on its own.
  ini_t copy = ini;
  ini.clear();
  EXPECT_EQ(copy.read_string("other", "SERVER", "-"), "c:80");
  EXPECT_FALSE(ini.has_key("Other"));

  const std::pair<const char*, bool> cases[] = {
      {"0", false},   {"FALSE", false}, {" yes ", true}, {"No", false},
      {"off", false}, {"00", false},    {"", true},      {"maybe", true},
  };
  for (const auto& [text, want] : cases) {
    ini.set_value("S", "flag", text);
    // Unreadable texts answer the default (true here).
    EXPECT_EQ(ini.read_bool("S", "flag", true), want) << text;
  }
}

TEST(KlbIpv4, TestAndMatchMask) {
  const std::pair<const char*, bool> cases[] = {
      {"255.255.255.255", true}, {"010.1.1.1", true},   {"256.0.0.1", false},
      {"1.2.3", false},          {"1.2.3.4.", false},   {" 1.2.3.4", false},
      {"1..2.3", false},         {"1.2.3.1000", false}, {"", false},
      {"1.2.3.-4", false},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(ipv4_test(text), want) << text;
  EXPECT_EQ(ipv4_parse("1.2.3.4"), 0x01020304u);

  const struct {
    const char* address;
    const char* pattern;
    bool want;
  } masks[] = {
      {"10.1.2.3", "10.1.2.0/25", true},
      {"10.1.2.200", "10.1.2.0/25", false},
      {"10.1.2.3", "10.1.2.3/32", true},
      {"10.1.2.3", "10.1.2.0/33", false},
      {"192.168.1.9", "192.168.1.0/255.255.255.0", true},
      {"10.1.2.3", "10.0.0.0/", false},
      {"10.1.2.3", "10.0.0/8", false},
      {"host", "10.0.0.0/8", false},
  };
  for (const auto& c : masks) {
    EXPECT_EQ(ipv4_match_mask(c.address, c.pattern), c.want) << c.address << " " << c.pattern;
  }
}

class MemoryLogTest : public ::testing::Test {
 protected:
  void TearDown() override { MemoryLog::Instance().SetCapacity(MemoryLog::kDefaultCapacity); }
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const LogRecord& record : capture_.Records()) out.push_back(record.message);
    return out;
  }
  ovtest::LogCapture capture_;
};

TEST_F(MemoryLogTest, RingKeepsTheNewestInOrder) {
  MemoryLog::Instance().SetCapacity(3);
  for (int i = 0; i < 7; ++i) {
    MemoryLog::Instance().Write(1, LogLevel::kInfo, "LABEL000000", std::to_string(i));
  }
  EXPECT_EQ(Messages(), (std::vector<std::string>{"4", "5", "6"}));
  // Shrinking keeps the newest ones, still in order.
  MemoryLog::Instance().SetCapacity(2);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"5", "6"}));
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
  EXPECT_EQ(Messages().size(), static_cast<size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace klb
