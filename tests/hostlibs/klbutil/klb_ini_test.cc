#include "klbutil/klb_ini.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(KlbIni, SectionsAndValuesIgnoreLetterCase) {
  klb::ini_t ini;
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
  klb::ini_t copy = ini;
  ini.clear();
  EXPECT_EQ(copy.read_string("other", "SERVER", "-"), "c:80");
  EXPECT_FALSE(ini.has_key("Other"));
}

TEST(KlbIni, ManySectionsAndValuesStayFast) {
  // Linear scans made this take half a minute.
  klb::ini_t ini;
  for (int i = 0; i < 100'000; ++i) {
    ini.set_value("S" + std::to_string(i), "k", std::to_string(i));
    ini.set_value("Big", "v" + std::to_string(i), std::to_string(i));
  }
  EXPECT_EQ(ini.key_count(), 100'001u);
  EXPECT_EQ(ini.read_string("s99999", "K", "-"), "99999");
  EXPECT_EQ(ini.read_string("big", "V54321", "-"), "54321");
  EXPECT_EQ(ini.values("Big").back().first, "v99999");
}

TEST(KlbIni, ReadBool) {
  const std::pair<const char*, bool> cases[] = {
      {"1", true},   {"0", false}, {"true", true},  {"FALSE", false}, {" yes ", true},
      {"No", false}, {"on", true}, {"off", false},  {"2", true},      {"-1", true},
      {"00", false}, {"", true},   {"maybe", true}, {"1x", true},
  };
  for (const auto& [text, want] : cases) {
    klb::ini_t ini;
    ini.set_value("S", "flag", text);
    // Unreadable texts answer the default (true here).
    EXPECT_EQ(ini.read_bool("S", "flag", true), want) << text;
  }
}

}  // namespace
