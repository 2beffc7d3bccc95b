#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_firefox.h"

#include <algorithm>

#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"
#include "OrvaProxy/ovProxyConfig/prejs_parser.h"
#include "OrvaProxy/ov_log.h"

namespace OVProxy {
namespace {

constexpr char kDefaultBypass[] = "localhost,127.0.0.1";

ovProxyConfig UnsetRecord() {
  ovProxyConfig config;
  config.set_source(ConfigSource::Firefox);
  return config;
}

// Firefox writes ".example.com" for "every host below example.com"; the
// bypass rules spell that "*.example.com" (a rule starting with "." would
// never match).
std::string FirefoxBypassToRules(const std::string& list) {
  std::string rules;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find_first_of(",;", start), list.size());
    std::string entry = list.substr(start, end - start);
    const size_t first = entry.find_first_not_of(" \t");
    if (first != std::string::npos && entry[first] == '.') entry.insert(first, "*");
    if (!rules.empty()) rules += ',';
    rules += entry;
    start = end + 1;
  }
  return rules;
}

}  // namespace

ovProxyConfigServiceFirefox::ovProxyConfigServiceFirefox(const std::string& ownerRunnerName,
                                                         int64_t pollInterval)
    : ovPollingProxyConfigService(ownerRunnerName, pollInterval) {}

ovProxyConfigServiceFirefox::~ovProxyConfigServiceFirefox() {
  shutdownPolling();
}

std::string ovProxyConfigServiceFirefox::profilePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return profile_path_;
}

ovProxyConfigAvailability ovProxyConfigServiceFirefox::MapPreferences(const prejs_parser& prefs,
                                                                      ovProxyConfig& config) {
  switch (prefs.get_int("network.proxy.type", 3)) {
    case 1: {
      std::string proxy;
      auto add = [&proxy](const std::string& key, const std::string& host, int port) {
        if (host.empty() || port < 1) return;
        if (!proxy.empty()) proxy += ';';
        proxy += key + "=" + host + ":" + std::to_string(port);
      };
      add("http", prefs.get_string("network.proxy.http"),
          prefs.get_int("network.proxy.http_port", 0));
      add("https", prefs.get_string("network.proxy.ssl"),
          prefs.get_int("network.proxy.ssl_port", 0));
      add("ftp", prefs.get_string("network.proxy.ftp"), prefs.get_int("network.proxy.ftp_port", 0));
      add("socks" + std::to_string(prefs.get_int("network.proxy.socks_version", 5)),
          prefs.get_string("network.proxy.socks"), prefs.get_int("network.proxy.socks_port", 0));
      std::string bypass = prefs.get_string("network.proxy.no_proxies_on");
      if (bypass.empty()) bypass = kDefaultBypass;
      config.proxy_rules().ParseFromString(proxy);
      config.proxy_rules().bypass_rules.ParseFromString(FirefoxBypassToRules(bypass));
      config.setAutoDetectEnabled(false);
      config.setPacUrl(std::string());
      config.set_source(ConfigSource::Firefox);
      return CONFIG_VALID;
    }
    case 2:
      config =
          ovProxyConfig::CreateFromCustomPacURL(prefs.get_string("network.proxy.autoconfig_url"));
      config.set_from_system(false);
      config.set_source(ConfigSource::Firefox);
      return CONFIG_VALID;
    case 4:
      config = ovProxyConfig::CreateAutoDetect();
      config.set_from_system(false);
      config.set_source(ConfigSource::Firefox);
      return CONFIG_VALID;
    default:
      return CONFIG_UNSET;
  }
}

bool ovProxyConfigServiceFirefox::fetchProxyConfig(ovProxyConfig& config,
                                                   ovProxyConfigAvailability* availability) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path = profile_path_;
  }
  if (path.empty()) {
    const auto found = FindFirefoxPrefsJs();
    if (!found) {
      config = UnsetRecord();
      if (availability != nullptr) *availability = CONFIG_UNSET;
      return true;
    }
    path = *found;
    ovLog(LogLevel::kInfo, "CfgSvcFfx01",
          "ProxyConfigServiceFirefox: Profile found - path=" + path);
    std::lock_guard<std::mutex> lock(mutex_);
    profile_path_ = path;
    profile_path_known_ = true;
  }

  prejs_parser prefs(path);
  ovProxyConfigAvailability result = CONFIG_UNSET;
  if (prefs.load_file("network.proxy") == prejs_parser::kLoaded) {
    result = MapPreferences(prefs, config);
  }
  if (result == CONFIG_UNSET) config = UnsetRecord();
  if (availability != nullptr) *availability = result;
  return true;
}

}  // namespace OVProxy
