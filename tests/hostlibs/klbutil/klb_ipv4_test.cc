#include "klbutil/klb_ipv4.h"

#include <gtest/gtest.h>

namespace {

TEST(KlbIpv4, Test) {
  const std::pair<const char*, bool> cases[] = {
      {"255.255.255.255", true}, {"010.1.1.1", true},   {"256.0.0.1", false},
      {"1.2.3", false},          {"1.2.3.4.", false},   {" 1.2.3.4", false},
      {"1..2.3", false},         {"1.2.3.1000", false}, {"", false},
      {"1.2.3.-4", false},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(klb::ipv4_test(text), want) << text;
  EXPECT_EQ(klb::ipv4_parse("1.2.3.4"), 0x01020304u);
}

TEST(KlbIpv4, MatchMask) {
  struct Case {
    const char* address;
    const char* pattern;
    bool want;
  };
  const Case cases[] = {
      {"10.1.2.3", "10.1.2.0/25", true},
      {"10.1.2.200", "10.1.2.0/25", false},
      {"10.1.2.3", "10.1.2.3/32", true},
      {"10.1.2.3", "10.1.2.0/33", false},
      {"192.168.1.9", "192.168.1.0/255.255.255.0", true},
      {"10.1.2.3", "10.0.0.0/", false},
      {"10.1.2.3", "10.0.0/8", false},
      {"host", "10.0.0.0/8", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(klb::ipv4_match_mask(c.address, c.pattern), c.want) << c.address << " " << c.pattern;
  }
}

}  // namespace
