#include <gtest/gtest.h>

#include <cstdlib>

#include "ovtest/fake_environment_os.h"
#include "platform/proxysettings/ov_gnome_proxy_backend.h"
#include "platform/proxysettings/ov_user_proxy_settings.h"

#if defined(OV_TEST_HAVE_GIO)
#include <gio/gio.h>
#endif

namespace ovplatform {
namespace {

// GIO picks its settings backend once per process: make it the in-memory
// one before any test can touch GSettings, so no test reads or writes the
// real user's settings.
const bool kMemoryBackend = setenv("GSETTINGS_BACKEND", "memory", 1) == 0;

TEST(GnomeBackendTest, TranslatesModes) {
  // want: "auto_detect|PAC URL|proxy|bypass".
  const std::pair<GnomeProxyValues, const char*> cases[] = {
      {{"auto", ""}, "1|||"},
      {{"manual",
        "",
        false,
        {"a", 1},
        {"b", 2},
        {"", 3},
        {"s", 1080},
        {"localhost", "::1", ".corp"}},
       "0||http=a:1;https=b:2;socks5=s:1080|localhost;::1;corp"},
      // The same proxy lends http to schemes without a host.
      {{"manual", "", true, {"a", 1}, {"b", 2}, {}, {"s", 9}},
       "0||http=a:1;https=b:2;ftp=a:1;socks5=s:9|"},
      // ... and without an http host falls back to per scheme.
      {{"manual", "", true, {"", 0}, {"b", 2}}, "0||https=b:2|"},
      // Unusable hosts and ports are left out.
      {{"manual", "", false, {"a;ftp=e", 1}, {"b", 0}, {"c", 70000}, {"fe80::1", 3}},
       "0||socks5=[fe80::1]:3|"},
  };
  for (const auto& [values, want] : cases) {
    const UserProxySettings got = TranslateGnomeProxyValues(values);
    EXPECT_EQ(std::to_string(got.auto_detect) + "|" + got.auto_config_url + "|" + got.proxy + "|" +
                  got.bypass,
              want);
  }
}

#if defined(OV_TEST_HAVE_GIO)
bool ProxySchemaInstalled() {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  GSettingsSchema* schema =
      source ? g_settings_schema_source_lookup(source, "org.gnome.system.proxy", TRUE) : nullptr;
  if (schema != nullptr) g_settings_schema_unref(schema);
  return schema != nullptr;
}

TEST(GnomeBackendTest, ReadsGSettings) {
  ASSERT_TRUE(kMemoryBackend);
  if (!GnomeProxyBackendBuilt() || !ProxySchemaInstalled()) {
    GTEST_SKIP() << "org.gnome.system.proxy is not installed";
  }
  GSettings* settings = g_settings_new("org.gnome.system.proxy");
  GSettings* http = g_settings_get_child(settings, "http");
  GSettings* socks = g_settings_get_child(settings, "socks");
  g_settings_set_string(settings, "mode", "manual");
  g_settings_set_boolean(settings, "use-same-proxy", FALSE);
  const gchar* hosts[] = {"localhost", "*.corp", nullptr};
  g_settings_set_strv(settings, "ignore-hosts", hosts);
  g_settings_set_string(http, "host", "proxy.corp");
  g_settings_set_int(http, "port", 3128);
  g_settings_set_string(socks, "host", "gw");
  g_settings_set_int(socks, "port", 1080);

  GnomeProxyValues values;
  ASSERT_TRUE(ReadGnomeProxyValues(values));
  const UserProxySettings got = TranslateGnomeProxyValues(values);
  EXPECT_EQ(got.proxy, "http=proxy.corp:3128;socks5=gw:1080");
  EXPECT_EQ(got.bypass, "localhost;*.corp");

  for (GSettings* object : {http, socks}) {
    g_settings_reset(object, "host");
    g_settings_reset(object, "port");
    g_object_unref(object);
  }
  for (const char* key : {"mode", "ignore-hosts", "use-same-proxy"})
    g_settings_reset(settings, key);
  g_object_unref(settings);
}
#endif

// Which backend answers for which desktop. GNOME is read from the in-memory
// GSettings (mode "none" by default) when it can be read at all.
TEST(UserProxySettingsReaderTest, BackendFollowsTheDesktop) {
  ovtest::FakeEnvironmentOs os;
  os.SetEnv("http_proxy", "envproxy:1");
  os.WriteHomeFile(".config/kioslaverc", "[Proxy Settings]\nProxyType=1\nhttpProxy=http://kde 2\n");
  struct Case {
    const char* desktop;
    const char* backend;
    const char* proxy;
  };
  GnomeProxyValues probe;
  const bool gnome = GnomeProxyBackendBuilt() && ReadGnomeProxyValues(probe);
  const Case cases[] = {
      {"ubuntu:GNOME", gnome ? kGnomeBackend : kEnvironmentBackend, gnome ? "" : "http=envproxy:1"},
      {"KDE", kKdeBackend, "http=kde:2"},
      {"XFCE", kEnvironmentBackend, "http=envproxy:1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.desktop);
    os.SetEnv("XDG_CURRENT_DESKTOP", c.desktop);
    UserProxySettings got;
    uint32_t error = 1;
    ASSERT_TRUE(GetUserProxySettingsReader().Read(got, error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(got.backend, c.backend);
    EXPECT_EQ(got.proxy, c.proxy);
  }

  // KDE without its settings file: the environment answers.
  os.SetEnv("XDG_CONFIG_HOME", os.home() + "/elsewhere");
  os.SetEnv("XDG_CURRENT_DESKTOP", "KDE");
  UserProxySettings got;
  uint32_t error = 0;
  ASSERT_TRUE(GetUserProxySettingsReader().Read(got, error));
  EXPECT_EQ(got.backend, kEnvironmentBackend);
}

}  // namespace
}  // namespace ovplatform
