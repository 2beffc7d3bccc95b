// PAC result strings into proxy entries and answers.
#include "OrvaProxy/pac_proxy_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace OVProxy {
namespace {

std::string Answer(const std::string& text, std::size_t* entry_count = nullptr) {
  std::vector<PacProxyEntry> entries;
  EXPECT_EQ(analyze_auto_config_group(text, entries), 0);
  if (entry_count != nullptr) *entry_count = entries.size();
  ovProxyInfo info;
  fill_proxy_info(entries, info);
  return info.ToPacString();
}

TEST(PacProxyEntry, AnswersFromResultStrings) {
  const std::pair<const char*, const char*> cases[] = {
      {"PROXY a:80; SOCKS b:1080; DIRECT", "PROXY a:80; SOCKS4 b:1080"},
      {"  proxy   a : 81 ;SOCKS4 b:1;SOCKS5 c:2;h:3",
       "PROXY a:81; SOCKS4 b:1; SOCKS5 c:2; PROXY h:3"},
      {"DIRECT; PROXY p:81", "DIRECT; PROXY p:81"},  // direct first, as asked
      {"PROXY a:80; DIRECT; SOCKS5 s:1080; DIRECT", "PROXY a:80; DIRECT; SOCKS5 s:1080"},
      {"DIRECT", ""},  // the resolve task supplies the DIRECT
      {"FTP f:21", ""},
      // Without a port, the kind's default; a port is 1-65535 and nothing else.
      {"PROXY proxy.corp; SOCKS s; SOCKS5 [::1]; hostonly",
       "PROXY proxy.corp:80; SOCKS4 s:1080; SOCKS5 [::1]:1080; PROXY hostonly:80"},
      {"PROXY a:65616; PROXY c:0; PROXY f:g:80; PROXY :80", "DIRECT"},
      {"PROXY [::1; HTTPS a:443", "DIRECT"},     // nothing survives: direct
      {"PROXY a:80, PROXY a:80", "PROXY a:80"},  // duplicate dropped
      {"PROXY a:80; proxy A:80; PROXY a:81", "PROXY a:80; PROXY A:80; PROXY a:81"},
      {"", "DIRECT"},
      // "," separates only once no ";" is left.
      {"PROXY a:1, PROXY b:2; PROXY c:3", "PROXY c:3"},
      {"PROXY c:3; PROXY a:1, PROXY b:2", "PROXY c:3; PROXY a:1; PROXY b:2"},
  };
  for (const auto& [text, answer] : cases) EXPECT_EQ(Answer(text), answer) << text;
}

TEST(PacProxyEntry, LongAnswersAreCutAtASeparatorWithinTheBound) {
  // Past the bound nothing is read, and the element across it is not read
  // cut short (its host would otherwise become a proxy on the default port).
  std::string text;
  std::size_t elements = 0;
  for (; text.size() < kMaxPacAnswerLength - 20; ++elements) {
    text += "PROXY p" + std::to_string(elements) + ":80;";
  }
  text += std::string(100, 'x') + "; PROXY beyond:1";
  std::size_t entries = 0;
  const std::string answer = Answer(text, &entries);
  EXPECT_EQ(entries, elements);
  EXPECT_EQ(answer.find("beyond"), std::string::npos);
  EXPECT_EQ(answer.find("xxx"), std::string::npos);
}

}  // namespace
}  // namespace OVProxy
