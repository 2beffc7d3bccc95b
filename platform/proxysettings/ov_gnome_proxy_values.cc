#include <string_view>

#include "platform/proxysettings/ov_gnome_proxy_backend.h"
#include "platform/proxysettings/ov_proxy_endpoint.h"

namespace ovplatform {
namespace {

// "host:port" for a usable server, else empty. The host goes through the
// same checks as any proxy text, so a value with ";" or "=" is refused.
std::string HostPort(const GnomeProxyValues::Server& server) {
  if (server.host.empty() || server.port <= 0 || server.port > 65535) return {};
  const std::string host = server.host.find(':') != std::string::npos && server.host.front() != '['
                               ? "[" + server.host + "]"
                               : server.host;
  const auto endpoint = ParseProxyEndpoint(host + ":" + std::to_string(server.port));
  return endpoint ? endpoint->host_port : std::string();
}

}  // namespace

UserProxySettings TranslateGnomeProxyValues(const GnomeProxyValues& values) {
  UserProxySettings out;
  out.backend = kGnomeBackend;
  for (const std::string& host : values.ignore_hosts) {
    const std::string rule = NormalizeBypassEntry(host);
    if (rule.empty() || rule.find_first_of(";,") != std::string::npos) continue;
    if (!out.bypass.empty()) out.bypass += ';';
    out.bypass += rule;
  }
  if (values.mode == "auto") {
    if (values.autoconfig_url.empty()) {
      out.auto_detect = true;
    } else {
      out.auto_config_url = values.autoconfig_url;
    }
  } else if (values.mode == "manual") {
    // use-same-proxy (on by default in the schema, and not shown by current
    // settings panels) lends the http proxy to the schemes the user gave no
    // host of their own; it never hides a host the user did set.
    const std::string http = HostPort(values.http);
    const bool lend_http = values.use_same_proxy && !http.empty();
    std::string https = HostPort(values.https);
    std::string ftp = HostPort(values.ftp);
    const std::string socks = HostPort(values.socks);
    if (lend_http && https.empty() && ftp.empty() && socks.empty()) {
      out.proxy = http;
    } else {
      if (lend_http && https.empty()) https = http;
      if (lend_http && ftp.empty()) ftp = http;
      const std::pair<const char*, std::string> entries[] = {
          {"http", http}, {"https", https}, {"ftp", ftp}, {"socks5", socks}};
      for (const auto& [key, host_port] : entries) {
        if (host_port.empty()) continue;
        if (!out.proxy.empty()) out.proxy += ';';
        out.proxy += std::string(key) + "=" + host_port;
      }
    }
  }
  return out;
}

}  // namespace ovplatform
