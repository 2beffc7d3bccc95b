#include "platform/proxysettings/ov_kde_proxy_backend.h"

#include <cstdlib>
#include <string>

#include "klbutil/klb_ini.h"
#include "platform/keyfile/ov_key_file.h"
#include "platform/proxysettings/ov_proxy_endpoint.h"

namespace ovplatform {
namespace {

constexpr char kGroup[] = "Proxy Settings";

}  // namespace

bool ReadKdeProxySettings(std::string_view kioslaverc, const EnvLookup& getenv,
                          UserProxySettings& out, bool* reversed_dropped) {
  klb::ini_t file;
  ParseKeyFile(kioslaverc, file);
  if (!file.has_value(kGroup, "ProxyType")) return false;
  out = UserProxySettings{};
  out.backend = kKdeBackend;
  if (reversed_dropped != nullptr) *reversed_dropped = false;

  const std::string type_text = file.read_string(kGroup, "ProxyType", "0");
  const long type = std::strtol(type_text.c_str(), nullptr, 10);
  // Mode 4 stores variable names where the other modes store values.
  auto value = [&](const char* key) -> std::string {
    std::string stored = file.read_string(kGroup, key, "");
    if (type != 4) return stored;
    if (stored.empty()) return {};
    return getenv(stored).value_or(std::string());
  };

  switch (type) {
    case 1:
    case 4: {
      struct Key {
        const char* name;
        const char* scheme;
      };
      static constexpr Key kKeys[] = {{"httpProxy", "http"},
                                      {"httpsProxy", "https"},
                                      {"ftpProxy", "ftp"},
                                      {"socksProxy", nullptr}};
      for (const Key& key : kKeys) {
        const auto endpoint = ParseProxyEndpoint(value(key.name));
        if (!endpoint) continue;
        std::string entry;
        if (key.scheme == nullptr) {
          entry = (endpoint->socks_key.empty() ? std::string("socks5") : endpoint->socks_key) +
                  "=" + endpoint->host_port;
        } else if (!endpoint->socks_key.empty()) {
          entry = endpoint->socks_key + "=" + endpoint->host_port;
        } else {
          entry = std::string(key.scheme) + "=" + endpoint->host_port;
        }
        if (!out.proxy.empty()) out.proxy += ';';
        out.proxy += entry;
      }
      if (file.read_bool(kGroup, "ReversedException", false)) {
        if (reversed_dropped != nullptr) *reversed_dropped = true;
      } else {
        out.bypass = NormalizeBypassList(value("NoProxyFor"));
      }
      break;
    }
    case 2:
      out.auto_config_url = file.read_string(kGroup, "Proxy Config Script", "");
      break;
    case 3:
      out.auto_detect = true;
      break;
    default:
      break;  // 0 and unknown modes: no proxy
  }
  return true;
}

}  // namespace ovplatform
