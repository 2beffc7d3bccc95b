// The user's proxy settings as Linux keeps them: the input is read both as
// an environment ("NAME=value" lines) and as a kioslaverc. Whatever it
// holds, the manual proxy string built from it parses into exactly the
// entries it lists (no value can smuggle in another entry), and the bypass
// string has no empty rules.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "platform/proxysettings/ov_env_proxy_backend.h"
#include "platform/proxysettings/ov_kde_proxy_backend.h"

namespace {

void Check(const ovplatform::UserProxySettings& settings) {
  OVProxy::ovProxyConfig config;
  auto& rules = config.proxy_rules();
  rules.ParseFromString(settings.proxy);
  size_t entries = 0;
  for (std::string_view rest = settings.proxy; !rest.empty();) {
    const size_t end = rest.find(';');
    ++entries;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  const size_t parsed =
      rules.single_proxies.servers().size() + rules.proxies_for_http.servers().size() +
      rules.proxies_for_https.servers().size() + rules.proxies_for_ftp.servers().size() +
      rules.socks_proxies.servers().size();
  if (parsed != entries) {
    fprintf(stderr, "proxy=[%s] parsed=%zu entries=%zu\n", settings.proxy.c_str(), parsed, entries);
    std::abort();
  }
  if (settings.bypass.find(";;") != std::string::npos || settings.bypass.starts_with(";") ||
      settings.bypass.ends_with(";")) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::map<std::string, std::string> env;
  for (std::string_view rest = text; !rest.empty();) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (const size_t equals = line.find('='); equals != std::string_view::npos) {
      env.emplace(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)));
    }
  }
  const ovplatform::EnvLookup lookup =
      [&env](const std::string& name) -> std::optional<std::string> {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  };
  ovplatform::UserProxySettings settings;
  ovplatform::ReadEnvironmentProxySettings(lookup, settings);
  Check(settings);
  if (ovplatform::ReadKdeProxySettings(text, lookup, settings)) Check(settings);
  return 0;
}
