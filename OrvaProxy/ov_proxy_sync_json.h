// The JSON texts of the proxy data-sync mode: the configuration object, the
// host-cache object and the messages that carry them.
//
// Writers use jsoncpp's default stream-writer settings. Readers never throw
// and skip every member that is missing or of the wrong JSON type, so a
// message from a newer or broken peer changes only what it states correctly.
//
// Thread: pure functions, callable from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "tavbiz/ov_proxy_info.h"

namespace Json {
class Value;
}

namespace OVProxy {

// Host text -> answer, ascending by host.
using ovHostCacheMap = std::map<std::string, ovProxyInfo>;

inline constexpr char kProxyInfoModeId[] = "dal.mode.id.ProxyInfoMode";
inline constexpr char kProxyConfigFieldId[] = "dal.field.id.ProxyInfoMode.ProxyConfigMode";
inline constexpr char kProxyHostCacheFieldId[] = "dal.field.id.ProxyInfoMode.ProxyHostCacheMode";

// Configuration object text ("auto_detect_enabled", "pac_url", ...).
std::string config_to_json(const ovProxyConfig& config);
// Applies the members of a configuration object text to `config`; false for
// empty or unparsable text or a null root.
bool config_from_json(const std::string& text, ovProxyConfig& config);

// Host-cache object text: {"cache_list": [...]}.
std::string host_cache_to_json(const ovHostCacheMap& cache);
// Inserts or replaces the entries of a host-cache object text in `cache`;
// false for empty or unparsable text or a null root.
bool host_cache_from_json(const std::string& text, ovHostCacheMap& cache);

namespace sync_json {

// Parses a JSON text with the default reader settings; nullopt when it is
// empty or does not parse.
std::optional<Json::Value> Parse(const std::string& text);
std::string Write(const Json::Value& value);

// {"operation": operation, payload_key: <payload written as text>}.
Json::Value Message(const char* operation, const char* payload_key, const Json::Value& payload);
// A payload {"url"/"content": text, "timestamp": seconds since 1970}.
Json::Value StampedText(const char* key, const std::string& text);
Json::Value Flag(const char* key, bool value);

}  // namespace sync_json
}  // namespace OVProxy
