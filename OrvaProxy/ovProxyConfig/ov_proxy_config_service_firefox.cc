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

ovProxyConfigAvailability ovProxyConfigServiceFirefox::MapPreferences(
    const prejs_parser& prefs, ovProxyConfig& config, std::vector<std::string>* not_used) {
  std::vector<std::string> refused = prefs.skipped();
  auto bounded = [&prefs, &refused](const char* name, std::size_t limit) {
    return BoundedValue(name, prefs.get_string(name), limit, refused);
  };
  ovProxyConfigAvailability result = CONFIG_UNSET;
  switch (prefs.get_int("network.proxy.type", 3)) {
    case 1: {
      std::string proxy;
      auto add = [&proxy](const std::string& key, const std::string& host, int port) {
        if (host.empty() || port < 1) return;
        if (!proxy.empty()) proxy += ';';
        proxy += key + "=" + host + ":" + std::to_string(port);
      };
      add("http", bounded("network.proxy.http", kMaxHostNameBytes),
          prefs.get_int("network.proxy.http_port", 0));
      add("https", bounded("network.proxy.ssl", kMaxHostNameBytes),
          prefs.get_int("network.proxy.ssl_port", 0));
      add("ftp", bounded("network.proxy.ftp", kMaxHostNameBytes),
          prefs.get_int("network.proxy.ftp_port", 0));
      add("socks" + std::to_string(prefs.get_int("network.proxy.socks_version", 5)),
          bounded("network.proxy.socks", kMaxHostNameBytes),
          prefs.get_int("network.proxy.socks_port", 0));
      std::string bypass =
          DropOverlongBypassEntries("network.proxy.no_proxies_on",
                                    bounded("network.proxy.no_proxies_on", kMaxListBytes), refused);
      if (bypass.empty()) bypass = kDefaultBypass;
      config.proxy_rules().ParseFromString(proxy);
      config.proxy_rules().bypass_rules.ParseFromString(FirefoxBypassToRules(bypass));
      config.setAutoDetectEnabled(false);
      config.setPacUrl(std::string());
      config.set_source(ConfigSource::Firefox);
      for (const std::string& rule : config.proxy_rules().bypass_rules.MalformedAddressRanges()) {
        refused.push_back("bypass entry " + rule + ": not an address range");
      }
      result = CONFIG_VALID;
      break;
    }
    case 2:
      config = ovProxyConfig::CreateFromCustomPacURL(
          bounded("network.proxy.autoconfig_url", kMaxUrlBytes));
      config.set_from_system(false);
      config.set_source(ConfigSource::Firefox);
      result = CONFIG_VALID;
      break;
    case 4:
      config = ovProxyConfig::CreateAutoDetect();
      config.set_from_system(false);
      config.set_source(ConfigSource::Firefox);
      result = CONFIG_VALID;
      break;
    default:
      break;
  }
  if (not_used != nullptr) *not_used = std::move(refused);
  return result;
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
      not_used_log_.Update({"no Firefox profile with a prefs.js found"});
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
  std::vector<std::string> not_used;
  if (prefs.load_file("network.proxy") == prejs_parser::kLoaded) {
    result = MapPreferences(prefs, config, &not_used);
  } else {
    not_used.push_back("prefs.js cannot be read (" + path + ")");
  }
  not_used_log_.Update(not_used);
  if (result == CONFIG_UNSET) config = UnsetRecord();
  if (availability != nullptr) *availability = result;
  return true;
}

}  // namespace OVProxy
