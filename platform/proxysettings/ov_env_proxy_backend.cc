#include "platform/proxysettings/ov_env_proxy_backend.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

#include "platform/proxysettings/ov_proxy_endpoint.h"

namespace ovplatform {
namespace {

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// The lower-case variable when it is set, else the upper-case one.
std::optional<std::string> Lookup(const EnvLookup& getenv, const std::string& name) {
  if (auto value = getenv(name)) return value;
  return getenv(Upper(name));
}

// Like Lookup, but an empty value counts as unset (so an empty lower-case
// variable does not hide a set upper-case one).
std::string LookupNonEmpty(const EnvLookup& getenv, const std::string& name) {
  if (auto value = getenv(name); value && !value->empty()) return *value;
  return getenv(Upper(name)).value_or(std::string());
}

}  // namespace

void ReadEnvironmentProxySettings(const EnvLookup& getenv, UserProxySettings& out) {
  out = UserProxySettings{};
  out.backend = kEnvironmentBackend;

  struct SchemeEntry {
    const char* key;
    const char* variable;
    std::string host_port;
  };
  SchemeEntry schemes[] = {
      {"http", "http_proxy", {}}, {"https", "https_proxy", {}}, {"ftp", "ftp_proxy", {}}};
  std::string socks;  // "socks5=h:p" or "socks4=h:p"
  bool any_scheme = false;
  for (SchemeEntry& scheme : schemes) {
    const auto endpoint = ParseProxyEndpoint(LookupNonEmpty(getenv, scheme.variable));
    if (!endpoint) continue;
    if (!endpoint->socks_key.empty()) {
      if (socks.empty()) socks = endpoint->socks_key + "=" + endpoint->host_port;
      continue;
    }
    scheme.host_port = endpoint->host_port;
    any_scheme = true;
  }

  std::string single;
  if (const auto all = ParseProxyEndpoint(LookupNonEmpty(getenv, "all_proxy"))) {
    if (!all->socks_key.empty()) {
      if (socks.empty()) socks = all->socks_key + "=" + all->host_port;
    } else if (!any_scheme && socks.empty()) {
      single = all->host_port;
    } else {
      for (SchemeEntry& scheme : schemes) {
        if (scheme.host_port.empty()) scheme.host_port = all->host_port;
      }
    }
  }

  if (!single.empty()) {
    out.proxy = single;
  } else {
    std::vector<std::string> entries;
    for (const SchemeEntry& scheme : schemes) {
      if (!scheme.host_port.empty())
        entries.push_back(std::string(scheme.key) + "=" + scheme.host_port);
    }
    if (!socks.empty()) entries.push_back(socks);
    for (const std::string& entry : entries) {
      if (!out.proxy.empty()) out.proxy += ';';
      out.proxy += entry;
    }
  }

  out.bypass = NormalizeBypassList(LookupNonEmpty(getenv, "no_proxy"));

  if (const auto pac = Lookup(getenv, "auto_proxy")) {
    if (pac->empty()) {
      out.auto_detect = true;
    } else {
      out.auto_config_url = *pac;
    }
  }
}

}  // namespace ovplatform
