// ovProxyConfig: how the module reaches the network. Automatic detection, a
// PAC script URL (with the script's text once fetched), or manual proxy
// rules, plus where the configuration came from.
//
// A value type: copied freely, shared between threads only as immutable
// std::shared_ptr snapshots (see duplicate()). Which kind of configuration a
// record is follows from its members in this order: auto_detect, then a
// non-empty pac_url, then manual rules of a type other than None, else
// direct.
//
// Equality ignores the downloaded PAC text, the auto-detected PAC URL, the
// PAC file type, the update time and the SOCKS cache, so that fetching a
// script anew is not reported as a configuration change.
//
// Thread-safety: none for changes. Const operations write nothing, so a
// shared snapshot may be read from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "OrvaProxy/ovProxyConfig/ov_proxy_bypass_rules.h"
#include "OrvaProxy/ov_export.h"
#include "tavbiz/ov_proxy_list.h"

namespace OVProxy {

enum class ConfigSource : int32_t { System = 0, Firefox = 1 };

// Kind of a PAC file. The module only stores and copies it.
enum class ovPacFileType : int32_t { Unknown = 0, Pac = 1, Ins = 2 };

class OV_PROXY_EXPORT ovProxyConfig {
 public:
  struct OV_PROXY_EXPORT ProxyRules {
    enum class RulesType : int32_t { None = 0, SingleList = 1, PerScheme = 2 };

    // Replaces the rules (not the bypass rules) from a manual proxy string:
    // "host:port[;...]" for one list used for every scheme, or
    // "http=h:p;https=h:p;ftp=h:p;socks=h:p" per scheme. Malformed entries,
    // and per-scheme entries without a host or a valid port, are skipped.
    void ParseFromString(std::string_view text);

    bool operator==(const ProxyRules& other) const;
    bool operator!=(const ProxyRules& other) const { return !(*this == other); }

    ovProxyBypassRules bypass_rules;
    bool invert_bypass = false;
    RulesType type = RulesType::None;
    ovProxyList single_proxies;
    ovProxyList proxies_for_http;
    ovProxyList proxies_for_https;
    ovProxyList proxies_for_ftp;
    ovProxyList socks_proxies;
  };
  using RulesType = ProxyRules::RulesType;

  // A direct configuration from the system, stamped with the current time.
  ovProxyConfig();
  ovProxyConfig(const ovProxyConfig&);
  // Leaves the source's strings empty.
  ovProxyConfig(ovProxyConfig&& other) noexcept;
  ovProxyConfig& operator=(const ovProxyConfig&);
  ovProxyConfig& operator=(ovProxyConfig&& other) noexcept;
  ~ovProxyConfig();

  static ovProxyConfig CreateDirect();
  static ovProxyConfig CreateAutoDetect();
  static ovProxyConfig CreateFromCustomPacURL(std::string_view url);

  std::shared_ptr<ovProxyConfig> duplicate() const;

  bool auto_detect() const { return auto_detect_; }
  bool isAutoDetectEnabled() const { return auto_detect_; }
  void setAutoDetectEnabled(bool enabled) { auto_detect_ = enabled; }
  bool has_pac_url() const { return !pac_url_.empty(); }
  bool HasAutomaticSettings() const { return auto_detect_ || has_pac_url(); }
  bool from_system() const { return from_system_; }
  void set_from_system(bool value) { from_system_ = value; }
  ConfigSource source() const { return source_; }
  void set_source(ConfigSource value) { source_ = value; }
  const std::string& getPacUrl() const { return pac_url_; }
  void setPacUrl(std::string url) { pac_url_ = std::move(url); }
  ProxyRules& proxy_rules() { return proxy_rules_; }
  const ProxyRules& proxy_rules() const { return proxy_rules_; }
  const std::string& getAutoDetectPacUrl() const { return auto_detect_pac_url_; }
  void setAutoDetectPacUrl(std::string url) { auto_detect_pac_url_ = std::move(url); }
  const std::string& getPacContent() const { return pac_content_; }
  // Also decides containsSocksProxy for the new script.
  void setPacContent(std::string content);
  bool isPacContentEmpty() const { return pac_content_.empty(); }
  ovPacFileType getPacFileType() const { return pac_file_type_; }
  void setPacFileType(ovPacFileType type) { pac_file_type_ = type; }
  // When the configuration was made or last changed, for ordering
  // configurations only: 100-nanosecond ticks of the monotonic clock, from
  // NextConfigUpdateStamp. Never wall-clock time, which NTP or a user may
  // step back and so make a newer configuration look older.
  int64_t getUpdateTimestamp() const { return update_timestamp_; }
  void setUpdateTimestamp(int64_t ticks) { update_timestamp_ = ticks; }

  bool isValid() const { return true; }
  // Back to direct from the system. Keeps the auto-detected PAC URL,
  // from_system, the update time and the SOCKS answer.
  void reset();

  // One line for logs: "ProxyConfig{type=..., source=...}". Not masked.
  std::string toString() const;

  // Whether the PAC script may answer SOCKS proxies: a case-insensitive search
  // for "socks" in its text, made when the text is set (setPacContent) and
  // again by resetSocksDetectionCache, so that reading it writes nothing.
  // reset() empties the text but keeps the answer.
  bool containsSocksProxy() const;
  void resetSocksDetectionCache();

  bool operator==(const ovProxyConfig& other) const;
  bool operator!=(const ovProxyConfig& other) const { return !(*this == other); }

 private:
  bool auto_detect_ = false;
  std::string pac_url_;
  bool from_system_ = false;
  ConfigSource source_ = ConfigSource::System;
  ProxyRules proxy_rules_;
  std::string auto_detect_pac_url_;
  std::string pac_content_;
  ovPacFileType pac_file_type_ = ovPacFileType::Unknown;
  int64_t update_timestamp_ = 0;
  bool mentions_socks_ = false;
};

// A stamp for getUpdateTimestamp: the monotonic clock in 100-ns ticks, and
// strictly greater than every stamp this process made before, so that of two
// configurations the one made later always compares newer. Any thread.
int64_t NextConfigUpdateStamp();

}  // namespace OVProxy
