// Address ranges and IPv6 addresses in bypass lists as each source writes
// them, and bounded setting values, through the translation of every source.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_firefox.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_win.h"
#include "OrvaProxy/ovProxyConfig/prejs_parser.h"
#include "platform/proxysettings/ov_env_proxy_backend.h"
#include "platform/proxysettings/ov_gnome_proxy_backend.h"
#include "platform/proxysettings/ov_kde_proxy_backend.h"
#include "with_and_without_url_utils.h"

namespace OVProxy {
namespace {

struct Translated {
  ovProxyConfig config;
  std::vector<std::string> not_used;
};

Translated FromSystem(const ovplatform::UserProxySettings& settings) {
  Translated out;
  ovProxyConfigServiceWin::TranslateSettings(settings, out.config, &out.not_used);
  return out;
}

Translated FromFirefox(const std::string& prefs_text) {
  prejs_parser prefs("unused");
  prefs.load_text(prefs_text, "network.proxy");
  Translated out;
  ovProxyConfigServiceFirefox::MapPreferences(prefs, out.config, &out.not_used);
  return out;
}

std::string FirefoxPrefs(const std::string& host, const std::string& bypass) {
  return "user_pref(\"network.proxy.type\", 1);\n"
         "user_pref(\"network.proxy.http\", \"" +
         host +
         "\");\nuser_pref(\"network.proxy.http_port\", 3128);\n"
         "user_pref(\"network.proxy.no_proxies_on\", \"" +
         bypass + "\");\n";
}

// Each source, given one bypass entry as its users write it (and a proxy,
// so that the configuration is manual).
using Source = std::function<Translated(const std::string& entry)>;
const std::pair<const char*, Source> kSources[] = {
    {"gnome",
     [](const std::string& entry) {
       ovplatform::GnomeProxyValues values;
       values.mode = "manual";
       values.http = {"p", 3128};
       values.ignore_hosts = {"localhost", entry};
       return FromSystem(ovplatform::TranslateGnomeProxyValues(values));
     }},
    {"kde",
     [](const std::string& entry) {
       ovplatform::UserProxySettings settings;
       EXPECT_TRUE(ovplatform::ReadKdeProxySettings(
           "[Proxy Settings]\nProxyType=1\nhttpProxy=http://p 3128\nNoProxyFor=localhost," + entry +
               "\n",
           [](const std::string&) { return std::nullopt; }, settings));
       return FromSystem(settings);
     }},
    {"environment",
     [](const std::string& entry) {
       ovplatform::UserProxySettings settings;
       ovplatform::ReadEnvironmentProxySettings(
           [&entry](const std::string& name) -> std::optional<std::string> {
             if (name == "http_proxy") return "http://p:3128";
             if (name == "no_proxy") return "localhost," + entry;
             return std::nullopt;
           },
           settings);
       return FromSystem(settings);
     }},
    {"windows",
     [](const std::string& entry) {
       return FromSystem({.proxy = "p:3128", .bypass = "localhost;" + entry});
     }},
    {"firefox", [](const std::string& entry) { return FromFirefox(FirefoxPrefs("p", entry)); }},
};

class BypassFromSources : public ovtest_config::WithAndWithoutUrlUtils {};

INSTANTIATE_TEST_SUITE_P(WithAndWithoutUtilities, BypassFromSources, ::testing::Bool(),
                         ovtest_config::UrlUtilsCaseName);

TEST_P(BypassFromSources, AddressRangesAndIPv6Addresses) {
  const struct {
    const char* entry;
    const char* url;
    bool bypassed;
  } cases[] = {
      {"10.0.0.0/8", "http://10.1.2.3/", true},
      {"10.0.0.0/8", "http://11.1.2.3/", false},
      {"10.0.0.0/8", "http://10.example/", false},             // names are never resolved
      {"10.0.0.0/8", "http://[::ffff:10.1.2.3]:8080/", true},  // IPv4-mapped
      {"10.9.9.9/8", "http://10.200.0.1/", true},              // host bits ignored
      {"192.168.1.7/32", "http://192.168.1.7:8080/x", true},
      {"192.168.1.7/32", "http://192.168.1.8/", false},
      {"0.0.0.0/0", "http://203.0.113.9/", true},
      {"0.0.0.0/0", "http://example.org/", false},
      {"0.0.0.0/0", "http://[2001:db8::1]/", false},
      {"192.168.1.7", "http://[::ffff:192.168.1.7]/", true},
      {"fd00::/8", "http://[fd12:3456::1]/", true},
      {"fd00::/8", "http://[fe80::1]/", false},
      {"fd00::1", "http://[fd00::1]:8443/x", true},
      {"fd00::1", "http://[fd00::2]/", false},
      {"[fd00::1]", "http://[fd00:0:0::1]/", true},
      {"[fd00::]/16", "http://[fd00:1::1]/", true},
      {"fe80::/10", "http://[fe80::1%25eth0]/", true},  // the zone is not the address
      {"::ffff:10.0.0.0/104", "http://10.3.2.1/", true},
      {"::/0", "http://[2001:db8::1]/", true},
      {"::/0", "http://example.org/", false},
      {"2001:db8::1/128", "http://[2001:db8::1]/", true},
      {"2001:db8::1/128", "http://[2001:db8::2]/", false},
      // Malformed ranges stay inert.
      {"10.0.0.0/33", "http://10.0.0.1/", false},
      {"1.2.3/8", "http://1.2.3.4/", false},
      {"fd00::/129", "http://[fd00::1]/", false},
      // Other forms keep their meaning.
      {"corp.example", "http://a.corp.example/", true},
      {"10.1.2.3", "http://10.1.2.3/", true},
  };
  for (const auto& [source, translate] : kSources) {
    for (const auto& c : cases) {
      const Translated got = translate(c.entry);
      const ovProxyBypassRules& rules = got.config.proxy_rules().bypass_rules;
      EXPECT_EQ(rules.Matches(c.url, false), c.bypassed)
          << source << " " << c.entry << " " << c.url;
      // Shown as written (a leading "." or a port dropped by some sources).
      EXPECT_NE(rules.ToString().find(c.entry), std::string::npos) << source << " " << c.entry;
    }
    // Only the malformed ones are named, once each.
    const Translated got = translate("10.0.0.0/33");
    EXPECT_EQ(got.not_used,
              std::vector<std::string>{"bypass entry 10.0.0.0/33: not an address range"})
        << source;
    EXPECT_TRUE(translate("corp.example").not_used.empty()) << source;
  }
}

TEST(SettingBoundsTest, OverlongValuesAreRefusedFromEverySource) {
  const std::string long_host(300, 'h');
  const std::string long_url = "http://pac.example/" + std::string(3000, 'u');
  const std::string long_list(70 * 1024, 'b');
  const struct {
    const char* what;
    Translated got;
    const char* config;
    const char* refused;
  } cases[] = {
      {"system proxy host", FromSystem({.proxy = "http=" + long_host + ":1;https=s:2"}),
       "ProxyConfig{type=MANUAL, https=HTTPS s:2, source=System}",
       "proxy host: 300 bytes, limit 255"},
      {"system PAC URL", FromSystem({.auto_config_url = long_url}),
       "ProxyConfig{type=DIRECT, source=System}", "auto-config URL: 3019 bytes, limit 2048"},
      {"system bypass list", FromSystem({.proxy = "p:1", .bypass = long_list}),
       "ProxyConfig{type=MANUAL, single_proxies=PROXY p:1, source=System}",
       "bypass list: 71680 bytes, limit 65536"},
      {"system bypass entry", FromSystem({.proxy = "p:1", .bypass = "a.example," + long_host}),
       "ProxyConfig{type=MANUAL, single_proxies=PROXY p:1, source=System}",
       "bypass list entry: 300 bytes, limit 255"},
      {"firefox proxy host", FromFirefox(FirefoxPrefs(long_host, "")),
       "ProxyConfig{type=DIRECT, source=Firefox}", "network.proxy.http: 300 bytes, limit 255"},
      {"firefox PAC URL",
       FromFirefox("user_pref(\"network.proxy.type\", 2);\n"
                   "user_pref(\"network.proxy.autoconfig_url\", \"" +
                   long_url + "\");\n"),
       "ProxyConfig{type=DIRECT, source=Firefox}",
       "network.proxy.autoconfig_url: 3019 bytes, limit 2048"},
      {"firefox bypass entry", FromFirefox(FirefoxPrefs("p", "a.example," + long_host)),
       "ProxyConfig{type=MANUAL, http=PROXY p:3128, source=Firefox}",
       "network.proxy.no_proxies_on entry: 300 bytes, limit 255"},
      // A line past the parser's bound is not even copied.
      {"firefox huge line", FromFirefox(FirefoxPrefs(std::string(1 << 20, 'h'), "")),
       "ProxyConfig{type=DIRECT, source=Firefox}",
       "network.proxy.http: a line of 1048612 bytes, limit 66560"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.got.config.toString(), c.config) << c.what;
    EXPECT_EQ(c.got.not_used, std::vector<std::string>{c.refused}) << c.what;
  }
  // The bypass list keeps its other entries.
  EXPECT_EQ(FromSystem({.proxy = "p:1", .bypass = "a.example;" + long_host})
                .config.proxy_rules()
                .bypass_rules.ToString(),
            "a.example");
}

}  // namespace
}  // namespace OVProxy
