#include "klbutil/klb_string.h"

#include <gtest/gtest.h>

namespace {

TEST(KlbTrim, TrimsBlanksAtBothEnds) {
  const std::pair<std::string, std::string> cases[] = {
      {"  a b\t", "a b"}, {"\r\nx\r\n", "x"}, {"", ""}, {" \t\r\n", ""}, {"abc", "abc"}};
  for (const auto& [in, want] : cases) {
    std::string text = in;
    klb::trim(text);
    EXPECT_EQ(text, want) << "input: '" << in << "'";
  }
}

}  // namespace
