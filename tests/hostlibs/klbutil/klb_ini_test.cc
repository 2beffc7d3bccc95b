#include "klbutil/klb_ini.h"

#include <gtest/gtest.h>

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
  EXPECT_EQ(ini.values("Proxy").size(), 1u);
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
    // Unreadable texts answer the default (true here, false below).
    EXPECT_EQ(ini.read_bool("S", "flag", true), want) << text;
  }
  klb::ini_t ini;
  ini.set_value("S", "flag", "maybe");
  EXPECT_FALSE(ini.read_bool("S", "flag", false));
  EXPECT_FALSE(ini.read_bool("S", "missing", false));
}

}  // namespace
