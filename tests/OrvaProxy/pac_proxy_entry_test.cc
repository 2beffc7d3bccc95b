// PAC result strings into proxy entries and answers.
#include "OrvaProxy/pac_proxy_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace OVProxy {
namespace {

std::string Answer(const std::string& text) {
  std::vector<PacProxyEntry> entries;
  EXPECT_EQ(analyze_auto_config_group(text, entries), 0);
  ovProxyInfo info;
  fill_proxy_info(entries, info);
  std::string out;
  for (const ovProxyServer& server : info.servers()) {
    if (!out.empty()) out += " ";
    out += server.scheme + ":" + server.host + ":" + std::to_string(server.port);
  }
  return out;
}

TEST(PacProxyEntry, ParseOneElement) {
  struct Case {
    const char* element;
    int32_t rc;
    PacProxyKind kind;
    const char* host;
    uint16_t port;
  };
  const Case cases[] = {
      {"PROXY a:80", 0, PacProxyKind::PROXY, "a", 80},
      {"  proxy   a : 81 ", 0, PacProxyKind::PROXY, "a", 81},
      {"SOCKS b:1080", 0, PacProxyKind::SOCKS, "b", 1080},
      {"SOCKS4 b:1080", 0, PacProxyKind::SOCKS, "b", 1080},
      {"SOCKS5 c:1081", 0, PacProxyKind::SOCKS5, "c", 1081},
      {"FTP f:21", 0, PacProxyKind::FTP, "f", 21},
      {"DIRECT", 0, PacProxyKind::DIRECT, "DIRECT", 0},
      {"direct", 0, PacProxyKind::DIRECT, "direct", 0},
      {"h:8080", 0, PacProxyKind::PROXY, "h", 8080},
      {"PROXY a:65616", 0, PacProxyKind::PROXY, "a", 80},  // kept in 16 bits
      {"PROXY a:80abc", 0, PacProxyKind::PROXY, "a", 80},
      {"PROXY [2001:db8::1]:3128", 0, PacProxyKind::PROXY, "[2001:db8::1]", 3128},
      {"HTTPS a:443", 508, PacProxyKind::DIRECT, "HTTPS a:443", 0},
      {"PROXY a", 2, PacProxyKind::PROXY, "PROXY a", 0},
      {"PROXY a:0", 2, PacProxyKind::PROXY, "PROXY a:0", 0},
      {"PROXY a:", 2, PacProxyKind::PROXY, "PROXY a:", 0},
      {"PROXY :80", 2, PacProxyKind::PROXY, "PROXY :80", 0},
      {"PROXY a:x", 2, PacProxyKind::PROXY, "PROXY a:x", 0},
      {"hostonly", 2, PacProxyKind::PROXY, "hostonly", 0},
  };
  for (const Case& c : cases) {
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
  struct Case {
    const char* text;
    const char* servers;
  };
  const Case cases[] = {
      {"PROXY a:80; SOCKS b:1080; DIRECT", "HTTP:a:80 SOCKS4:b:1080"},
      {"PROXY a:80, PROXY a:80", "HTTP:a:80"},  // duplicate dropped
      {"PROXY a:80; PROXY a:81", "HTTP:a:80 HTTP:a:81"},
      {"PROXY a:80; proxy A:80", "HTTP:a:80 HTTP:A:80"},  // hosts compare byte-wise
      {"SOCKS5 s:1080; PROXY p:3128", "SOCKS5:s:1080 HTTP:p:3128"},
      {"HTTPS a:443", "DIRECT::0"},  // nothing survives: direct
      {"HTTPS a:443; PROXY b:80", "HTTP:b:80"},
      {"h:8080", "HTTP:h:8080"},
      {"PROXY a; PROXY b:0; PROXY c:3", "HTTP:c:3"},
      {"", "DIRECT::0"},
      {"  ;  ; ", "DIRECT::0"},
      // A "," splits only where no ";" is left.
      {"PROXY a:1, PROXY b:2; PROXY c:3",
       "HTTP:a:1 HTTP:c:3"},  // port text "1, PROXY b:2" reads as 1
      {"PROXY c:3; PROXY a:1, PROXY b:2", "HTTP:c:3 HTTP:a:1 HTTP:b:2"},
  };
  for (const Case& c : cases) EXPECT_EQ(Answer(c.text), c.servers) << c.text;
}

TEST(PacProxyEntry, DirectOnlyLeavesTheAnswerWithoutServers) {
  for (const char* text : {"DIRECT", "DIRECT; FTP f:21", "FTP f:21"}) {
    std::vector<PacProxyEntry> entries;
    analyze_auto_config_group(text, entries);
    ovProxyInfo info;
    fill_proxy_info(entries, info);
    EXPECT_TRUE(info.is_empty()) << text;
  }
}

}  // namespace
}  // namespace OVProxy
