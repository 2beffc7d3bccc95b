#include "OrvaProxy/ovProxyConfig/prejs_parser.h"

#include <gtest/gtest.h>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_firefox.h"

namespace OVProxy {
namespace {

TEST(PrejsParserTest, CommentsAndDuplicates) {
  prejs_parser prefs("unused");
  prefs.load_text(
      "// Mozilla User Preferences\n"
      "user_pref(\"network.proxy.http\", \"first\");\n"
      "user_pref(\"network.proxy.http\", \"second\");\n"
      "// user_pref(\"network.proxy.ftp\", \"commented\");\n"
      "/* user_pref(\"network.proxy.ssl\", \"block\");\n"
      "   user_pref(\"network.proxy.socks\", \"still block\"); */ "
      "user_pref(\"network.proxy.socks\", \"after block\");\n"
      "user_pref(\"network.proxy.autoconfig_url\", \"http://pac.corp/a.pac\"); // trailing\n"
      "user_pref(\"network.proxy.no_proxies_on\", \"/* not a comment */ x (y)\");\n"
      "user_pref(\"browser.startup.page\", 3);\n"
      "user_pref(\"network.proxy.http_port\", 8080\n"
      "  user_pref(\"network.proxy.ssl_port\", -12abc);user_pref(\"network.proxy.ftp_port\", "
      "99999999999);\n",
      "network.proxy");
  EXPECT_EQ(prefs.get_string("network.proxy.http"), "first");
  EXPECT_EQ(prefs.get_string("network.proxy.ftp"), "");
  EXPECT_EQ(prefs.get_string("network.proxy.ssl"), "");
  EXPECT_EQ(prefs.get_string("network.proxy.socks"), "after block");
  EXPECT_EQ(prefs.get_string("network.proxy.autoconfig_url"), "http://pac.corp/a.pac");
  EXPECT_EQ(prefs.get_string("network.proxy.no_proxies_on"), "/* not a comment */ x (y)");
  EXPECT_EQ(prefs.get_string("browser.startup.page"), "");    // filtered out
  EXPECT_EQ(prefs.get_int("network.proxy.http_port", 7), 7);  // no closing parenthesis
  EXPECT_EQ(prefs.get_int("network.proxy.ssl_port", 7), -12);
  EXPECT_EQ(prefs.get_int("network.proxy.ftp_port", 7), 2147483647);
}

TEST(FirefoxPreferencesTest, MapsProxyTypes) {
  struct Case {
    const char* name;
    const char* prefs;
    ovProxyConfigAvailability availability;
    const char* printed;  // toString when VALID
    const char* bypass;   // bypass rules' ToString when VALID
    const char* socks = "";
  };
  const Case cases[] = {
      {"type missing", "", CONFIG_UNSET, "", ""},
      {"manual",
       "user_pref(\"network.proxy.type\", 1);\n"
       "user_pref(\"network.proxy.http\", \"h\");user_pref(\"network.proxy.http_port\", 3128);\n"
       "user_pref(\"network.proxy.ssl\", \"s\");user_pref(\"network.proxy.ssl_port\", 0);\n"
       "user_pref(\"network.proxy.socks\", \"k\");user_pref(\"network.proxy.socks_port\", 1080);\n"
       "user_pref(\"network.proxy.socks_version\", 4);\n"
       "user_pref(\"network.proxy.no_proxies_on\", \".corp.example, <local>\");",
       CONFIG_VALID, "ProxyConfig{type=MANUAL, http=PROXY h:3128, source=Firefox}",
       "<local>;*.corp.example", "SOCKS4 k:1080"},  // socks_version picks the scheme
      {"manual without usable entries is direct",
       "user_pref(\"network.proxy.type\", 1);user_pref(\"network.proxy.http\", \"h\");",
       CONFIG_VALID, "ProxyConfig{type=DIRECT, source=Firefox}", "localhost;127.0.0.1"},
      {"PAC without URL", "user_pref(\"network.proxy.type\", 2);", CONFIG_VALID,
       "ProxyConfig{type=DIRECT, source=Firefox}", ""},
      {"PAC",
       "user_pref(\"network.proxy.type\", 2);user_pref(\"network.proxy.autoconfig_url\", "
       "\"http://p/x\");",
       CONFIG_VALID, "ProxyConfig{type=PAC_SCRIPT, url=http://p/x, source=Firefox}", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prejs_parser prefs("unused");
    prefs.load_text(c.prefs, "network.proxy");
    ovProxyConfig config;
    const ovProxyConfigAvailability availability =
        ovProxyConfigServiceFirefox::MapPreferences(prefs, config);
    EXPECT_EQ(availability, c.availability);
    if (availability != CONFIG_VALID) continue;
    EXPECT_EQ(config.toString(), c.printed);
    EXPECT_EQ(config.proxy_rules().bypass_rules.ToString(), c.bypass);
    EXPECT_EQ(config.proxy_rules().socks_proxies.ToPacString(), c.socks);
  }
}

}  // namespace
}  // namespace OVProxy
