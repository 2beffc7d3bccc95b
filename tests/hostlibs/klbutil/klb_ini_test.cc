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

TEST(KlbIni, ReadBool) {
  const std::pair<const char*, bool> cases[] = {
      {"0", false},   {"FALSE", false}, {" yes ", true}, {"No", false},
      {"off", false}, {"00", false},    {"", true},      {"maybe", true},
  };
  for (const auto& [text, want] : cases) {
    klb::ini_t ini;
    ini.set_value("S", "flag", text);
    // Unreadable texts answer the default (true here).
    EXPECT_EQ(ini.read_bool("S", "flag", true), want) << text;
  }
}

}  // namespace
