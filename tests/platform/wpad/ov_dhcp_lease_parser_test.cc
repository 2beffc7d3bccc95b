#include "platform/wpad/ov_dhcp_lease_parser.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace ovplatform {
namespace {

// 2026-12-03 20:49:46 UTC
constexpr int64_t kExpiry = 1796330986;

TEST(DhcpLeaseParser, ReadsEveryLeaseOfAFile) {
  struct Lease {
    std::string interface;
    std::string url;
    std::optional<int64_t> expiresAt;
  };
  const struct {
    const char* name;
    std::string text;
    std::vector<Lease> leases;
  } cases[] = {
      {"dhclient named option",
       "lease {\n  interface \"eth0\";\n  fixed-address 10.0.0.5;\n"
       "  option wpad \"http://wpad.corp.example/wpad.dat\";\n"
       "  renew 4 2026/12/03 20:44:06;\n  expire 4 2026/12/03 20:49:46;\n}\n",
       {{"eth0", "http://wpad.corp.example/wpad.dat", kExpiry}}},
      {"unknown option as hex bytes with a trailing zero",
       "lease { interface \"wlan0\"; option unknown-252 "
       "68:74:74:70:3a:2f:2f:70:2f:77:2e:64:61:74:0:a; expire epoch 1796330986; }",
       {{"wlan0", "http://p/w.dat", kExpiry}}},
      {"quoted value with octal and hex escapes",
       "lease { interface \"eth1\"; option unknown-252 \"https://p\\x2fa\\\"b\\000\\n\"; "
       "expire never; }",
       {{"eth1", "", std::nullopt}}},  // the quote inside makes no valid URL
      {"leases in file order, other blocks and comments skipped",
       "default-duid \"\\000\\001\";\n# option wpad \"http://commented/\";\n"
       "lease6 { interface \"eth0\"; ia-na 1 { iaaddr ::1 { } } option wpad \"http://v6/\"; }\n"
       "lease { interface \"eth0\"; option wpad \"http://first/\"; }\n"
       "lease { interface \"eth0\"; option routers 10.0.0.1; }\n",
       {{"eth0", "http://first/", std::nullopt}, {"eth0", "", std::nullopt}}},
      {"a lease cut off by the end of the file is dropped",
       "lease { interface \"eth0\"; option wpad \"http://a/\"; }\n"
       "lease { interface \"eth0\"; option wpad \"http://half",
       {{"eth0", "http://a/", std::nullopt}}},
      {"schemes other than http and https are refused",
       "lease { option wpad \"file:///etc/passwd\"; }\n"
       "lease { option wpad \"ftp://host/x\"; }\n"
       "lease { option wpad \"http://a b/\"; }\n"
       "lease { option wpad \"http://a/\\000evil\"; }\n",
       {{}, {}, {}, {}}},
      {"a bad expiry date says nothing",
       "lease { expire 4 2026/02/30 10:00:00; } lease { expire 4 2026/1 10:00:00; }",
       {{"", "", std::nullopt}, {"", "", std::nullopt}}},
      {"networkd private option as plain hex",
       "# This is private data.\nADDRESS=10.0.0.5\nOPTION_252=687474703a2f2f772f782e70616300\n",
       {{"", "http://w/x.pac", std::nullopt}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<DhcpLease> leases = ParseDhcpLeaseFile(c.text);
    ASSERT_EQ(leases.size(), c.leases.size());
    for (size_t i = 0; i < leases.size(); ++i) {
      EXPECT_EQ(leases[i].interface, c.leases[i].interface) << i;
      EXPECT_EQ(leases[i].wpadUrl, c.leases[i].url) << i;
      EXPECT_EQ(leases[i].expiresAt, c.leases[i].expiresAt) << i;
    }
  }
}

TEST(DhcpLeaseParser, DecodesOptionValues) {
  const struct {
    std::string value;
    std::optional<std::string> bytes;
  } cases[] = {
      {"\"a\\\"b\\\\c\\101\"", std::string("a\"b\\cA")},
      {"\"abc", std::nullopt},
      {"41:42:a", std::string("AB\n")},
      {"41::42", std::nullopt},
      {"41zz", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeDhcpOptionValue(c.value), c.bytes) << c.value;
  }
}

TEST(DhcpLeaseParser, LimitsUrlLength) {
  const std::string prefix = "http://host/";
  const std::string longest = prefix + std::string(kMaxWpadUrlLength - prefix.size(), 'a');
  EXPECT_EQ(NormalizeWpadUrl(longest + std::string(3, '\0') + "\r\n"), longest);
  EXPECT_EQ(NormalizeWpadUrl(longest + "a"), "");
}

}  // namespace
}  // namespace ovplatform
