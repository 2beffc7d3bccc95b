// The JSON texts of the proxy data-sync mode: the configuration object, the
// host-cache object and the messages that carry them.
//
// Writers use jsoncpp's default stream-writer settings (the host-cache object
// without indentation). Readers never throw
// and skip every member that is missing or of the wrong JSON type, so a
// message from a newer or broken peer changes only what it states correctly.
//
// Members added later (configuration: "rules_type" and the whole server
// lists; host cache: "proxy_list" with every server of an answer) sit beside
// the older ones, which are still written, so a process of the older form
// reads the texts as before; a reader uses the newer members when present.
//
// Thread: pure functions, callable from any thread; an ovHostCache value is
// used by one thread at a time (its owner's lock).
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "tavbiz/ov_proxy_info.h"

namespace Json {
class Value;
}

namespace OVProxy {

// Host text -> answer, ascending by host.
using ovHostCacheMap = std::map<std::string, ovProxyInfo>;
// Host-cache entries from the least to the most recently used.
using ovHostCacheEntries = std::vector<std::pair<std::string, ovProxyInfo>>;

// How many hosts one cache holds. Every change sends the whole map to every
// peer, so the bound keeps each message small (about 0.5 MB with two-server
// answers) and the memory of a process flat; a client meets far fewer hosts
// between two network or configuration changes, which clear the cache.
inline constexpr std::size_t kHostCacheCapacity = 2048;

// A host cache of bounded size: the least recently used entries leave first.
class ovHostCache {
 public:
  explicit ovHostCache(std::size_t capacity = kHostCacheCapacity);
  ovHostCache(const ovHostCache& other);
  ovHostCache& operator=(const ovHostCache& other);
  ovHostCache(ovHostCache&&) noexcept = default;
  ovHostCache& operator=(ovHostCache&&) noexcept = default;
  ~ovHostCache();

  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }
  // Inserts or replaces; the entry becomes the most recently used.
  void put(const std::string& host, const ovProxyInfo& info);
  // Copies the answer out and makes the entry the most recently used.
  bool lookup(const std::string& host, ovProxyInfo& info);
  void clear();
  // Replaces the content; only the last `capacity` entries stay.
  void assign(const ovHostCacheEntries& entries);
  void assign(const ovHostCacheMap& map);
  // Least recently used first.
  ovHostCacheEntries entries() const;
  ovHostCacheMap map() const;

 private:
  // Answers are immutable and shared: most hosts of one script get one of a
  // handful of answers, which are then stored once.
  using Answer = std::shared_ptr<const ovProxyInfo>;
  using Order = std::list<std::pair<std::string, Answer>>;
  void Rebuild();
  Answer Share(const ovProxyInfo& info) const;

  std::size_t capacity_;
  Order order_;
  // Keys view the host strings inside the list's nodes, which never move.
  std::unordered_map<std::string_view, Order::iterator> index_;
};

inline constexpr char kProxyInfoModeId[] = "dal.mode.id.ProxyInfoMode";
inline constexpr char kProxyConfigFieldId[] = "dal.field.id.ProxyInfoMode.ProxyConfigMode";
inline constexpr char kProxyHostCacheFieldId[] = "dal.field.id.ProxyInfoMode.ProxyHostCacheMode";

// Configuration object text ("auto_detect_enabled", "pac_url", ...).
std::string config_to_json(const ovProxyConfig& config);
// Applies the members of a configuration object text to `config`; false for
// empty or unparsable text or a null root.
bool config_from_json(const std::string& text, ovProxyConfig& config);

// Host-cache object text: {"cache_list": [...]}, entries in the given order.
std::string host_cache_to_json(const ovHostCacheMap& cache);
std::string host_cache_entries_to_json(const ovHostCacheEntries& entries);
// Inserts or replaces the entries of a host-cache object text in `cache`;
// false for empty or unparsable text or a null root.
bool host_cache_from_json(const std::string& text, ovHostCacheMap& cache);
// The valid entries of a host-cache object text in their order, a host
// named twice taking its later place; only the last `limit` are kept (a
// sender lists the most recently used last). False as above.
bool host_cache_entries_from_json(const std::string& text, ovHostCacheEntries& entries,
                                  std::size_t limit);

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
