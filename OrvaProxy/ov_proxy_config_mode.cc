#include "OrvaProxy/ov_proxy_config_mode.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "OrvaProxy/o_dal_proxy_info_mode.h"

namespace OVProxy {
namespace {

constexpr const char* kLocalhostRules[] = {"localhost", "127.0.0.1"};

bool IsLocalhostRule(const std::string& rule) {
  return rule == kLocalhostRules[0] || rule == kLocalhostRules[1];
}

}  // namespace

ovProxyConfigMode::ovProxyConfigMode(bool sync_enabled) : sync_enabled_(sync_enabled) {}

ovProxyConfigMode::~ovProxyConfigMode() = default;

ovProxyConfig ovProxyConfigMode::CurrentLocked() {
  ovProxyConfig received;
  if (dal_ && dal_->getConfig(received)) return received;
  return local_ ? *local_ : ovProxyConfig();
}

ovProxyConfig& ovProxyConfigMode::WritableLocked() {
  ovProxyConfig received;
  if (dal_ && dal_->getConfig(received)) {
    local_ = std::make_shared<ovProxyConfig>(std::move(received));
  } else if (!local_) {
    local_ = std::make_shared<ovProxyConfig>();
  }
  return *local_;
}

void ovProxyConfigMode::SendLocked() {
  if (sync_enabled_ && dal_ && local_) dal_->setConfig(*local_);
}

template <class F>
void ovProxyConfigMode::Change(F change) {
  std::lock_guard lock(lock_);
  change(WritableLocked());
  SendLocked();
}

bool ovProxyConfigMode::getConfig(ovProxyConfig& config) {
  std::lock_guard lock(lock_);
  ovProxyConfig received;
  if (dal_ && dal_->getConfig(received)) {
    local_ = std::make_shared<ovProxyConfig>(received);
    config = std::move(received);
    return true;
  }
  if (!local_) return false;
  config = *local_;
  return true;
}

bool ovProxyConfigMode::updateConfig(const ovProxyConfig& config) {
  std::lock_guard lock(lock_);
  if (local_ &&
      (*local_ == config || local_->getUpdateTimestamp() >= config.getUpdateTimestamp())) {
    return true;
  }
  local_ = std::make_shared<ovProxyConfig>(config);
  SendLocked();
  return true;
}

void ovProxyConfigMode::resetConfig() {
  Change([](ovProxyConfig& config) { config.reset(); });
}

ovPacFileType ovProxyConfigMode::getPacFileType() {
  std::lock_guard lock(lock_);
  return CurrentLocked().getPacFileType();
}

void ovProxyConfigMode::setPacFileType(ovPacFileType type) {
  Change([type](ovProxyConfig& config) { config.setPacFileType(type); });
}

std::string ovProxyConfigMode::getAutoDetectPacUrl() {
  std::lock_guard lock(lock_);
  return CurrentLocked().getAutoDetectPacUrl();
}

void ovProxyConfigMode::setAutoDetectPacUrl(const std::string& url) {
  Change([&url](ovProxyConfig& config) { config.setAutoDetectPacUrl(url); });
}

void ovProxyConfigMode::clearAutoDetectPacUrl() {
  std::lock_guard lock(lock_);
  WritableLocked().setAutoDetectPacUrl(std::string());
  if (sync_enabled_ && dal_) dal_->setAutoDetectPacUrl(std::string());
}

ovProxyServer ovProxyConfigMode::getHttpProxy() {
  std::lock_guard lock(lock_);
  const ovProxyConfig config = CurrentLocked();
  const auto& rules = config.proxy_rules();
  if (!rules.proxies_for_http.IsEmpty()) return rules.proxies_for_http.First();
  if (!rules.single_proxies.IsEmpty()) return rules.single_proxies.First();
  return ovProxyServer();
}

void ovProxyConfigMode::setHttpProxy(const ovProxyServer& server) {
  Change([&server](ovProxyConfig& config) {
    auto& rules = config.proxy_rules();
    rules.proxies_for_http.Clear();
    if (server.isValid()) rules.proxies_for_http.AddProxyServer(server);
    rules.type = ovProxyConfig::RulesType::PerScheme;
  });
}

ovProxyServer ovProxyConfigMode::getHttpsProxy() {
  std::lock_guard lock(lock_);
  const ovProxyConfig config = CurrentLocked();
  const auto& rules = config.proxy_rules();
  if (!rules.proxies_for_https.IsEmpty()) return rules.proxies_for_https.First();
  if (!rules.single_proxies.IsEmpty()) return rules.single_proxies.First();
  return ovProxyServer();
}

void ovProxyConfigMode::setHttpsProxy(const ovProxyServer& server) {
  Change([&server](ovProxyConfig& config) {
    auto& rules = config.proxy_rules();
    rules.proxies_for_https.Clear();
    if (server.isValid()) rules.proxies_for_https.AddProxyServer(server);
    rules.type = ovProxyConfig::RulesType::PerScheme;
  });
}

ovProxyServer ovProxyConfigMode::getSocksProxy() {
  std::lock_guard lock(lock_);
  const ovProxyConfig config = CurrentLocked();
  const auto& single = config.proxy_rules().single_proxies;
  if (!single.IsEmpty() && (single.First().scheme == ovProxyServer::kSchemeSocks4 ||
                            single.First().scheme == ovProxyServer::kSchemeSocks5)) {
    return single.First();
  }
  return ovProxyServer();
}

void ovProxyConfigMode::setSocksProxy(const ovProxyServer& server) {
  Change([&server](ovProxyConfig& config) {
    auto& rules = config.proxy_rules();
    rules.single_proxies.Clear();
    if (server.isValid()) rules.single_proxies.AddProxyServer(server);
    rules.type = ovProxyConfig::RulesType::SingleList;
  });
}

ovProxyBypassRules ovProxyConfigMode::getBypassRules() {
  std::lock_guard lock(lock_);
  return CurrentLocked().proxy_rules().bypass_rules;
}

void ovProxyConfigMode::setBypassList(const std::vector<std::string>& rules) {
  Change([&rules](ovProxyConfig& config) {
    auto& bypass = config.proxy_rules().bypass_rules;
    bypass.Clear();
    for (const std::string& rule : rules) bypass.AddRuleFromString(rule);
  });
}

void ovProxyConfigMode::addBypassRule(const std::string& rule) {
  Change([&rule](ovProxyConfig& config) {
    config.proxy_rules().bypass_rules.AddRuleFromString(rule);
  });
}

void ovProxyConfigMode::clearBypassRules() {
  Change([](ovProxyConfig& config) { config.proxy_rules().bypass_rules.Clear(); });
}

bool ovProxyConfigMode::isBypassLocalhost() {
  std::lock_guard lock(lock_);
  const auto rules = CurrentLocked().proxy_rules().bypass_rules.rules();
  return std::any_of(rules.begin(), rules.end(), IsLocalhostRule);
}

void ovProxyConfigMode::setBypassLocalhost(bool bypass) {
  Change([bypass](ovProxyConfig& config) {
    auto& rules = config.proxy_rules().bypass_rules;
    const std::vector<std::string> kept = rules.rules();
    const bool simple_hostnames = rules.bypass_simple_hostnames();
    rules.Clear();
    if (simple_hostnames) rules.PrependRuleToBypassSimpleHostnames();
    for (const std::string& rule : kept) {
      if (!IsLocalhostRule(rule)) rules.AddRuleFromString(rule);
    }
    if (bypass) {
      for (const char* rule : kLocalhostRules) rules.AddRuleFromString(rule);
    }
  });
}

bool ovProxyConfigMode::isAutoDetectEnabled() {
  std::lock_guard lock(lock_);
  return CurrentLocked().auto_detect();
}

void ovProxyConfigMode::setAutoDetectEnabled(bool enabled) {
  Change([enabled](ovProxyConfig& config) { config.setAutoDetectEnabled(enabled); });
}

std::string ovProxyConfigMode::getPacContent() {
  std::lock_guard lock(lock_);
  return CurrentLocked().getPacContent();
}

void ovProxyConfigMode::setPacContent(const std::string& content) {
  Change([&content](ovProxyConfig& config) { config.setPacContent(content); });
}

void ovProxyConfigMode::clearPacContent() {
  std::lock_guard lock(lock_);
  WritableLocked().setPacContent(std::string());
  pac_socks_ = false;
  SendLocked();
  if (sync_enabled_ && dal_) dal_->setPacSocksFlag(false);
}

std::string ovProxyConfigMode::getPacUrl() {
  std::lock_guard lock(lock_);
  return CurrentLocked().getPacUrl();
}

void ovProxyConfigMode::setPacUrl(const std::string& url) {
  Change([&url](ovProxyConfig& config) { config.setPacUrl(url); });
}

bool ovProxyConfigMode::getPacSocksFlag() {
  std::lock_guard lock(lock_);
  bool received = false;
  if (dal_ && dal_->getPacSocksFlag(received)) return received;
  return pac_socks_;
}

void ovProxyConfigMode::setPacSocksFlag(bool has_socks) {
  std::lock_guard lock(lock_);
  pac_socks_ = has_socks;
  if (sync_enabled_ && dal_) dal_->setPacSocksFlag(has_socks);
}

void ovProxyConfigMode::setDalMode(std::shared_ptr<oDALProxyInfoMode> dal) {
  std::lock_guard lock(lock_);
  dal_ = std::move(dal);
}

}  // namespace OVProxy
