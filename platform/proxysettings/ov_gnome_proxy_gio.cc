// GSettings through GIO; compiled only when GIO was found.
#include <gio/gio.h>

#include <memory>

#include "platform/proxysettings/ov_gnome_proxy_backend.h"

namespace ovplatform {
namespace {

constexpr char kSchema[] = "org.gnome.system.proxy";

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using Settings = std::unique_ptr<GSettings, ObjectUnref>;

std::string TakeString(gchar* text) {
  std::string value = text != nullptr ? text : "";
  g_free(text);
  return value;
}

GnomeProxyValues::Server ReadServer(GSettings* parent, const char* child_name) {
  GnomeProxyValues::Server server;
  Settings child(g_settings_get_child(parent, child_name));
  if (!child) return server;
  server.host = TakeString(g_settings_get_string(child.get(), "host"));
  server.port = g_settings_get_int(child.get(), "port");
  return server;
}

}  // namespace

bool GnomeProxyBackendBuilt() {
  return true;
}

bool ReadGnomeProxyValues(GnomeProxyValues& out) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (source == nullptr) return false;
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, kSchema, TRUE);
  if (schema == nullptr) return false;
  g_settings_schema_unref(schema);

  Settings settings(g_settings_new(kSchema));
  if (!settings) return false;
  out = GnomeProxyValues{};
  out.mode = TakeString(g_settings_get_string(settings.get(), "mode"));
  out.autoconfig_url = TakeString(g_settings_get_string(settings.get(), "autoconfig-url"));
  out.use_same_proxy = g_settings_get_boolean(settings.get(), "use-same-proxy") != FALSE;
  gchar** hosts = g_settings_get_strv(settings.get(), "ignore-hosts");
  for (gchar** host = hosts; host != nullptr && *host != nullptr; ++host) {
    out.ignore_hosts.emplace_back(*host);
  }
  g_strfreev(hosts);
  out.http = ReadServer(settings.get(), "http");
  out.https = ReadServer(settings.get(), "https");
  out.ftp = ReadServer(settings.get(), "ftp");
  out.socks = ReadServer(settings.get(), "socks");
  return true;
}

}  // namespace ovplatform
