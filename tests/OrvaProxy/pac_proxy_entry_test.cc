// PAC result strings into proxy entries and answers.
#include "OrvaProxy/pac_proxy_entry.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(PacProxyEntry, ParseOneElement) {
  const struct {
    const char* element;
    int32_t rc;
    PacProxyKind kind;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"  proxy   a : 81 ", 0, PacProxyKind::PROXY, "a", 81},
      {"SOCKS4 b:1080", 0, PacProxyKind::SOCKS, "b", 1080},
      {"SOCKS5 c:1081", 0, PacProxyKind::SOCKS5, "c", 1081},
      {"FTP f:21", 0, PacProxyKind::FTP, "f", 21},
      {"direct", 0, PacProxyKind::DIRECT, "direct", 0},
      {"h:8080", 0, PacProxyKind::PROXY, "h", 8080},
      {"PROXY [2001:db8::1]:3128", 0, PacProxyKind::PROXY, "[2001:db8::1]", 3128},
      // Without a port: the default of the kind.
      {"PROXY proxy.corp", 0, PacProxyKind::PROXY, "proxy.corp", 80},
      {"SOCKS s", 0, PacProxyKind::SOCKS, "s", 1080},
      {"SOCKS5 [::1]", 0, PacProxyKind::SOCKS5, "[::1]", 1080},
      {"hostonly", 0, PacProxyKind::PROXY, "hostonly", 80},
      // A port is 1-65535 and nothing else.
      {"PROXY a:65616", 2},
      {"PROXY a:80abc", 2},
      {"PROXY a:0", 2},
      {"PROXY a:", 2},
      {"PROXY a:-80", 2},
      {"PROXY a:b:80", 2},
      {"PROXY :80", 2},
      {"PROXY [::1", 2},
      {"HTTPS a:443", 508},
  };
  for (const auto& c : cases) {
    std::string element = c.element;
    PacProxyKind kind = PacProxyKind::DIRECT;
    uint16_t port = 0;
    const int32_t rc = parse_proxy_entry(element, kind, port);
    EXPECT_EQ(rc, c.rc) << c.element;
    if (rc != 0) continue;
    EXPECT_EQ(kind, c.kind) << c.element;
    EXPECT_EQ(element, c.host) << c.element;
    EXPECT_EQ(port, c.port) << c.element;
  }
}

TEST(PacProxyEntry, AnswersFromResultStrings) {
  const std::pair<const char*, const char*> cases[] = {
      {"PROXY a:80; SOCKS b:1080; DIRECT", "PROXY a:80; SOCKS4 b:1080"},
      {"DIRECT; PROXY p:81", "DIRECT; PROXY p:81"},  // direct first, as asked
      {"PROXY a:80; DIRECT; SOCKS5 s:1080; DIRECT", "PROXY a:80; DIRECT; SOCKS5 s:1080"},
      {"PROXY a:80, PROXY a:80", "PROXY a:80"},  // duplicate dropped
      {"PROXY a:80; proxy A:80; PROXY a:81", "PROXY a:80; PROXY A:80; PROXY a:81"},
      {"HTTPS a:443; PROXY b", "PROXY b:80"},
      {"PROXY a:65616; PROXY b:80abc; PROXY c:3", "PROXY c:3"},
      {"HTTPS a:443", "DIRECT"},  // nothing survives: direct
      {"", "DIRECT"},
      {"  ;  ; ", "DIRECT"},
      {"DIRECT", ""},  // the resolve task supplies the DIRECT
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
  for (int i = 0; text.size() < kMaxPacAnswerLength - 20; ++i) {
    text += "PROXY p" + std::to_string(i) + ":80;";
  }
  const std::size_t read_part = text.size();
  text += std::string(100, 'x') + "; PROXY beyond:1";
  std::size_t entries = 0;
  const std::string answer = Answer(text, &entries);
  EXPECT_EQ(entries,
            static_cast<std::size_t>(std::count(text.begin(), text.begin() + read_part, ';')));
  EXPECT_EQ(answer.find("beyond"), std::string::npos);
  EXPECT_EQ(answer.find("xxx"), std::string::npos);

  // Many repeated elements stay cheap: one pass, duplicates found by hash.
  std::string repeated;
  while (repeated.size() < 4 * kMaxPacAnswerLength) repeated += "DIRECT;PROXY a:1;";
  EXPECT_EQ(Answer(repeated, &entries), "DIRECT; PROXY a:1");
  EXPECT_EQ(entries, 2u);
}

}  // namespace
}  // namespace OVProxy
