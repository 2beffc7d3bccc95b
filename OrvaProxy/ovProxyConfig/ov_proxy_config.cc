#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <optional>

#include "onetutils/onet_text.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {
namespace {

struct SchemeKey {
  std::string_view key;
  const char* scheme;
  ovProxyList ovProxyConfig::ProxyRules::*list;
};

using Rules = ovProxyConfig::ProxyRules;

constexpr SchemeKey kSchemeKeys[] = {
    {"http", ovProxyServer::kSchemeHttp, &Rules::proxies_for_http},
    {"https", ovProxyServer::kSchemeHttps, &Rules::proxies_for_https},
    {"ftp", ovProxyServer::kSchemeHttp, &Rules::proxies_for_ftp},
    {"socks4", ovProxyServer::kSchemeSocks4, &Rules::socks_proxies},
    {"socks4a", ovProxyServer::kSchemeSocks4, &Rules::socks_proxies},
};

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Adds the server of one "key=host:port" entry to its list, or nothing. The
// port is required here; an entry without a host names no proxy.
void AddSchemeEntry(Rules& rules, std::string_view entry) {
  const std::size_t equals = entry.find('=');
  if (equals == std::string_view::npos || equals + 1 == entry.size()) return;
  const std::string_view key = TrimBlanks(entry.substr(0, equals));
  const std::optional<ONet::HostPort> split = ONet::SplitHostPort(entry.substr(equals + 1));
  if (!split || !split->has_port || TrimBlanks(split->host).empty()) return;
  const std::optional<uint16_t> port = ONet::ParsePort(split->port);
  if (!port) return;
  ovProxyServer server(std::string(split->host), *port, std::string());
  for (const SchemeKey& known : kSchemeKeys) {
    if (key == known.key) {
      server.scheme = known.scheme;
      (rules.*known.list).AddProxyServer(server);
      return;
    }
  }
  if (key.rfind("socks", 0) == 0) {
    server.scheme = ovProxyServer::kSchemeSocks5;
    rules.socks_proxies.AddProxyServer(server);
  }
}

// Whether a script's text mentions SOCKS in any letter case.
bool MentionsSocks(std::string_view text) {
  static constexpr std::string_view kSocks = "socks";
  const auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
  };
  return std::search(text.begin(), text.end(), kSocks.begin(), kSocks.end(), same) != text.end();
}

}  // namespace

void ovProxyConfig::ProxyRules::ParseFromString(std::string_view text) {
  type = RulesType::None;
  single_proxies.Clear();
  proxies_for_http.Clear();
  proxies_for_https.Clear();
  proxies_for_ftp.Clear();
  socks_proxies.Clear();
  if (text.empty()) return;
  if (text.find('=') == std::string_view::npos) {
    type = RulesType::SingleList;
    single_proxies.Set(text);
    return;
  }
  for (std::string_view entry : ONet::SplitList(text, ";")) AddSchemeEntry(*this, entry);
  if (!proxies_for_http.IsEmpty() || !proxies_for_https.IsEmpty() || !proxies_for_ftp.IsEmpty() ||
      !socks_proxies.IsEmpty()) {
    type = RulesType::PerScheme;
  }
}

bool ovProxyConfig::ProxyRules::operator==(const ProxyRules& other) const {
  return type == other.type && invert_bypass == other.invert_bypass &&
         single_proxies.Equals(other.single_proxies) &&
         proxies_for_http.Equals(other.proxies_for_http) &&
         proxies_for_https.Equals(other.proxies_for_https) &&
         proxies_for_ftp.Equals(other.proxies_for_ftp) &&
         socks_proxies.Equals(other.socks_proxies) && bypass_rules == other.bypass_rules;
}

int64_t NextConfigUpdateStamp() {
  static std::atomic<int64_t> last{0};
  const int64_t now = Tav::TimeTicks::NowNs() / 100;
  int64_t previous = last.load(std::memory_order_relaxed);
  int64_t next = 0;
  do {
    next = std::max(now, previous + 1);
  } while (!last.compare_exchange_weak(previous, next, std::memory_order_relaxed));
  return next;
}

ovProxyConfig::ovProxyConfig() : update_timestamp_(NextConfigUpdateStamp()) {}
ovProxyConfig::ovProxyConfig(const ovProxyConfig&) = default;
ovProxyConfig& ovProxyConfig::operator=(const ovProxyConfig&) = default;
ovProxyConfig::~ovProxyConfig() = default;

ovProxyConfig::ovProxyConfig(ovProxyConfig&& other) noexcept
    : auto_detect_(other.auto_detect_),
      pac_url_(std::move(other.pac_url_)),
      from_system_(other.from_system_),
      source_(other.source_),
      proxy_rules_(std::move(other.proxy_rules_)),
      auto_detect_pac_url_(std::move(other.auto_detect_pac_url_)),
      pac_content_(std::move(other.pac_content_)),
      pac_file_type_(other.pac_file_type_),
      update_timestamp_(other.update_timestamp_),
      mentions_socks_(other.mentions_socks_) {
  other.pac_url_.clear();
  other.auto_detect_pac_url_.clear();
  other.pac_content_.clear();
}

ovProxyConfig& ovProxyConfig::operator=(ovProxyConfig&& other) noexcept {
  if (this == &other) return *this;
  auto_detect_ = other.auto_detect_;
  pac_url_ = std::move(other.pac_url_);
  from_system_ = other.from_system_;
  source_ = other.source_;
  proxy_rules_ = std::move(other.proxy_rules_);
  auto_detect_pac_url_ = std::move(other.auto_detect_pac_url_);
  pac_content_ = std::move(other.pac_content_);
  pac_file_type_ = other.pac_file_type_;
  update_timestamp_ = other.update_timestamp_;
  mentions_socks_ = other.mentions_socks_;
  other.pac_url_.clear();
  other.auto_detect_pac_url_.clear();
  other.pac_content_.clear();
  return *this;
}

ovProxyConfig ovProxyConfig::CreateDirect() {
  return ovProxyConfig();
}

ovProxyConfig ovProxyConfig::CreateAutoDetect() {
  ovProxyConfig config;
  config.auto_detect_ = true;
  return config;
}

ovProxyConfig ovProxyConfig::CreateFromCustomPacURL(std::string_view url) {
  ovProxyConfig config;
  config.pac_url_ = std::string(url);
  return config;
}

std::shared_ptr<ovProxyConfig> ovProxyConfig::duplicate() const {
  return std::make_shared<ovProxyConfig>(*this);
}

void ovProxyConfig::setPacContent(std::string content) {
  pac_content_ = std::move(content);
  resetSocksDetectionCache();
}

void ovProxyConfig::reset() {
  auto_detect_ = false;
  pac_url_.clear();
  pac_content_.clear();
  pac_file_type_ = ovPacFileType::Unknown;
  proxy_rules_ = ProxyRules();
  source_ = ConfigSource::System;
}

std::string ovProxyConfig::toString() const {
  std::string out = "ProxyConfig{";
  if (auto_detect_) {
    out += "type=AUTO_DETECT, enabled=" + std::to_string(static_cast<int>(auto_detect_));
    if (!pac_url_.empty()) out += ", pac_url=" + pac_url_;
  } else if (!pac_url_.empty()) {
    out += "type=PAC_SCRIPT, url=" + pac_url_;
  } else if (proxy_rules_.type == RulesType::None) {
    out += "type=DIRECT";
  } else {
    out += "type=MANUAL";
    if (!proxy_rules_.single_proxies.IsEmpty()) {
      out += ", single_proxies=" + proxy_rules_.single_proxies.ToPacString();
    }
    if (!proxy_rules_.proxies_for_http.IsEmpty()) {
      out += ", http=" + proxy_rules_.proxies_for_http.ToPacString();
    }
    if (!proxy_rules_.proxies_for_https.IsEmpty()) {
      out += ", https=" + proxy_rules_.proxies_for_https.ToPacString();
    }
  }
  out += source_ == ConfigSource::Firefox ? ", source=Firefox}" : ", source=System}";
  return out;
}

bool ovProxyConfig::containsSocksProxy() const {
  return mentions_socks_;
}

void ovProxyConfig::resetSocksDetectionCache() {
  mentions_socks_ = MentionsSocks(pac_content_);
}

bool ovProxyConfig::operator==(const ovProxyConfig& other) const {
  return auto_detect_ == other.auto_detect_ && pac_url_ == other.pac_url_ &&
         from_system_ == other.from_system_ && source_ == other.source_ &&
         proxy_rules_ == other.proxy_rules_;
}

}  // namespace OVProxy
