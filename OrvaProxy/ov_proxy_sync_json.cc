#include "OrvaProxy/ov_proxy_sync_json.h"

#include <json/json.h>

#include <algorithm>
#include <sstream>
#include <unordered_set>

#include "klbutil/klb_string.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {
namespace {

bool IsInteger(const Json::Value& value) {
  return (value.type() == Json::intValue || value.type() == Json::uintValue) && value.isInt();
}

const Json::Value* Member(const Json::Value& object, const char* key) {
  if (!object.isObject()) return nullptr;
  return object.find(key, key + std::char_traits<char>::length(key));
}

Json::Value ServerToJson(const ovProxyServer& server) {
  Json::Value out(Json::objectValue);
  out["host"] = server.host;
  out["port"] = server.port;
  out["type"] = server.scheme;
  out["username"] = server.username;
  out["password"] = server.password;
  return out;
}

std::optional<ovProxyServer> ServerFromJson(const Json::Value& value) {
  if (!value.isObject()) return std::nullopt;
  const Json::Value* host = Member(value, "host");
  const Json::Value* port = Member(value, "port");
  const Json::Value* type = Member(value, "type");
  if (!host || !host->isString() || !port || !IsInteger(*port) || !type || !type->isString()) {
    return std::nullopt;
  }
  ovProxyServer server(host->asString(), port->asInt(), type->asString());
  const Json::Value* username = Member(value, "username");
  const Json::Value* password = Member(value, "password");
  if (username && username->isString() && password && password->isString()) {
    server.setCredentials(username->asString(), password->asString());
  }
  return server;
}

// A server of a list without its credentials (host-cache answers).
Json::Value RouteToJson(const ovProxyServer& server) {
  Json::Value out(Json::objectValue);
  out["host"] = server.host;
  out["port"] = server.port;
  out["type"] = server.scheme;
  return out;
}

Json::Value ListToJson(const std::vector<ovProxyServer>& servers) {
  Json::Value out(Json::arrayValue);
  for (const ovProxyServer& server : servers) out.append(ServerToJson(server));
  return out;
}

// The list member `key` when it is an array: its valid servers.
std::optional<std::vector<ovProxyServer>> ListFromJson(const Json::Value& object, const char* key) {
  const Json::Value* list = Member(object, key);
  if (!list || !list->isArray()) return std::nullopt;
  std::vector<ovProxyServer> servers;
  for (const Json::Value& entry : *list) {
    if (auto server = ServerFromJson(entry)) servers.push_back(std::move(*server));
  }
  return servers;
}

// Every server of a host-cache entry's "proxy_list"; nullopt when the member
// is missing, not an array or holds anything unusable, so that the older
// members are read instead and an answer is never taken half.
std::optional<ovProxyInfo> RoutesFromJson(const Json::Value& entry) {
  const Json::Value* list = Member(entry, "proxy_list");
  if (!list || !list->isArray()) return std::nullopt;
  ovProxyInfo info;
  for (const Json::Value& route : *list) {
    auto server = ServerFromJson(route);
    if (!server || !klb::is_utf8(server->host) || !klb::is_utf8(server->scheme)) {
      return std::nullopt;
    }
    // Answers carry no credentials; none are kept from a peer either.
    server->setCredentials(std::string(), std::string());
    info.AddProxyServer(*server);
  }
  return info;
}

bool ValidRulesType(int value) {
  return value >= static_cast<int>(ovProxyConfig::RulesType::None) &&
         value <= static_cast<int>(ovProxyConfig::RulesType::PerScheme);
}

}  // namespace

ovHostCache::ovHostCache(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

ovHostCache::ovHostCache(const ovHostCache& other)
    : capacity_(other.capacity_), order_(other.order_) {
  Rebuild();
}

ovHostCache& ovHostCache::operator=(const ovHostCache& other) {
  if (this == &other) return *this;
  capacity_ = other.capacity_;
  index_.clear();
  order_ = other.order_;
  Rebuild();
  return *this;
}

ovHostCache::~ovHostCache() = default;

void ovHostCache::Rebuild() {
  index_.clear();
  index_.reserve(order_.size());
  for (auto it = order_.begin(); it != order_.end(); ++it) index_[it->first] = it;
}

ovHostCache::Answer ovHostCache::Share(const ovProxyInfo& info) const {
  // The last few answers put are the likely twins of the next one.
  constexpr int kLooked = 4;
  int looked = 0;
  for (auto it = order_.rbegin(); it != order_.rend() && looked < kLooked; ++it, ++looked) {
    if (*it->second == info) return it->second;
  }
  return std::make_shared<const ovProxyInfo>(info);
}

void ovHostCache::put(const std::string& host, const ovProxyInfo& info) {
  if (auto found = index_.find(host); found != index_.end()) {
    found->second->second = Share(info);
    order_.splice(order_.end(), order_, found->second);
    return;
  }
  order_.emplace_back(host, Share(info));
  index_.emplace(order_.back().first, std::prev(order_.end()));
  while (order_.size() > capacity_) {
    index_.erase(order_.front().first);
    order_.pop_front();
  }
}

bool ovHostCache::lookup(const std::string& host, ovProxyInfo& info) {
  auto found = index_.find(host);
  if (found == index_.end()) return false;
  order_.splice(order_.end(), order_, found->second);
  info = *found->second->second;
  return true;
}

void ovHostCache::clear() {
  index_.clear();
  order_.clear();
}

void ovHostCache::assign(const ovHostCacheEntries& entries) {
  clear();
  const std::size_t skip = entries.size() > capacity_ ? entries.size() - capacity_ : 0;
  for (std::size_t i = skip; i < entries.size(); ++i) put(entries[i].first, entries[i].second);
}

void ovHostCache::assign(const ovHostCacheMap& map) {
  clear();
  for (const auto& [host, info] : map) put(host, info);
}

ovHostCacheEntries ovHostCache::entries() const {
  ovHostCacheEntries out;
  out.reserve(order_.size());
  for (const auto& [host, answer] : order_) out.emplace_back(host, *answer);
  return out;
}

ovHostCacheMap ovHostCache::map() const {
  ovHostCacheMap out;
  for (const auto& [host, answer] : order_) out.emplace(host, *answer);
  return out;
}

namespace sync_json {

std::optional<Json::Value> Parse(const std::string& text) {
  if (text.empty()) return std::nullopt;
  Json::CharReaderBuilder builder;
  std::istringstream stream(text);
  Json::Value root;
  std::string errors;
  try {
    if (!Json::parseFromStream(builder, stream, &root, &errors)) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return root;
}

std::string Write(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  return Json::writeString(builder, value);
}

Json::Value Message(const char* operation, const char* payload_key, const Json::Value& payload) {
  Json::Value message(Json::objectValue);
  message["operation"] = operation;
  message[payload_key] = Write(payload);
  return message;
}

Json::Value StampedText(const char* key, const std::string& text) {
  Json::Value payload(Json::objectValue);
  payload[key] = text;
  payload["timestamp"] = static_cast<Json::Int64>(Tav::SystemTimeNow100ns() / 10'000'000);
  return payload;
}

Json::Value Flag(const char* key, bool value) {
  Json::Value payload(Json::objectValue);
  payload[key] = value;
  return payload;
}

}  // namespace sync_json

std::string config_to_json(const ovProxyConfig& config) {
  Json::Value out(Json::objectValue);
  out["auto_detect_enabled"] = config.auto_detect();
  out["pac_url"] = config.getPacUrl();
  out["pac_content"] = config.getPacContent();
  out["pac_file_type"] = static_cast<int32_t>(config.getPacFileType());
  const auto& rules = config.proxy_rules();
  if (!rules.proxies_for_http.IsEmpty())
    out["http_proxy"] = ServerToJson(rules.proxies_for_http.First());
  if (!rules.proxies_for_https.IsEmpty()) {
    out["https_proxy"] = ServerToJson(rules.proxies_for_https.First());
  }
  if (!rules.single_proxies.IsEmpty())
    out["socks_proxy"] = ServerToJson(rules.single_proxies.First());
  // The whole rules: a receiver that has not read its own settings answers
  // with them, so their type and every server must travel.
  out["rules_type"] = static_cast<int32_t>(rules.type);
  out["single_proxies"] = ListToJson(rules.single_proxies.servers());
  out["http_proxies"] = ListToJson(rules.proxies_for_http.servers());
  out["https_proxies"] = ListToJson(rules.proxies_for_https.servers());
  out["ftp_proxies"] = ListToJson(rules.proxies_for_ftp.servers());
  out["socks_proxies"] = ListToJson(rules.socks_proxies.servers());
  out["invert_bypass"] = rules.invert_bypass;
  out["bypass_localhost"] = false;
  Json::Value bypass(Json::arrayValue);
  for (const std::string& rule : rules.bypass_rules.rules()) bypass.append(rule);
  out["bypass_list"] = bypass;
  return sync_json::Write(out);
}

bool config_from_json(const std::string& text, ovProxyConfig& config) {
  auto root = sync_json::Parse(text);
  // A text that is not an object (a bare number, a list) is no configuration.
  if (!root || !root->isObject()) return false;
  if (const Json::Value* v = Member(*root, "auto_detect_enabled"); v && v->isBool()) {
    config.setAutoDetectEnabled(v->asBool());
  }
  if (const Json::Value* v = Member(*root, "pac_url"); v && v->isString()) {
    config.setPacUrl(v->asString());
  }
  if (const Json::Value* v = Member(*root, "pac_content"); v && v->isString()) {
    config.setPacContent(v->asString());
  }
  if (const Json::Value* v = Member(*root, "pac_file_type"); v && IsInteger(*v)) {
    config.setPacFileType(static_cast<ovPacFileType>(v->asInt()));
  }
  auto& rules = config.proxy_rules();
  const std::pair<const char*, ovProxyList*> servers[] = {
      {"http_proxy", &rules.proxies_for_http},
      {"https_proxy", &rules.proxies_for_https},
      {"socks_proxy", &rules.single_proxies},
  };
  for (const auto& [key, list] : servers) {
    const Json::Value* v = Member(*root, key);
    if (!v) continue;
    if (auto server = ServerFromJson(*v)) list->SetSingleProxyServer(*server);
  }
  const std::pair<const char*, ovProxyList*> lists[] = {
      {"single_proxies", &rules.single_proxies},   {"http_proxies", &rules.proxies_for_http},
      {"https_proxies", &rules.proxies_for_https}, {"ftp_proxies", &rules.proxies_for_ftp},
      {"socks_proxies", &rules.socks_proxies},
  };
  for (const auto& [key, list] : lists) {
    auto received = ListFromJson(*root, key);
    if (!received) continue;
    list->Clear();
    for (const ovProxyServer& server : *received) list->AddProxyServer(server);
  }
  const Json::Value* type = Member(*root, "rules_type");
  if (type && IsInteger(*type) && ValidRulesType(type->asInt())) {
    rules.type = static_cast<ovProxyConfig::RulesType>(type->asInt());
  } else if (rules.type == ovProxyConfig::RulesType::None) {
    // A sender of the older form names no type: its servers say which.
    if (!rules.proxies_for_http.IsEmpty() || !rules.proxies_for_https.IsEmpty()) {
      rules.type = ovProxyConfig::RulesType::PerScheme;
    } else if (!rules.single_proxies.IsEmpty()) {
      rules.type = ovProxyConfig::RulesType::SingleList;
    }
  }
  if (const Json::Value* v = Member(*root, "invert_bypass"); v && v->isBool()) {
    rules.invert_bypass = v->asBool();
  }
  if (const Json::Value* v = Member(*root, "bypass_list"); v && v->isArray()) {
    for (const Json::Value& rule : *v) {
      if (rule.isString()) rules.bypass_rules.AddRuleFromString(rule.asString());
    }
  }
  return true;
}

namespace {

template <class Entries>
std::string HostCacheToJson(const Entries& entries) {
  Json::Value list(Json::arrayValue);
  for (const auto& [host, info] : entries) {
    Json::Value entry(Json::objectValue);
    entry["host"] = host;
    // The first server in the older members, for readers of the older form.
    if (info.is_empty()) {
      entry["proxy_host"] = "";
      entry["proxy_port"] = 0;
      entry["proxy_type"] = "direct";
    } else {
      entry["proxy_host"] = info.proxy_server().host;
      entry["proxy_port"] = info.proxy_server().port;
      entry["proxy_type"] = info.proxy_server().scheme;
    }
    Json::Value routes(Json::arrayValue);
    for (const ovProxyServer& server : info.servers()) routes.append(RouteToJson(server));
    entry["proxy_list"] = std::move(routes);
    list.append(std::move(entry));
  }
  Json::Value out(Json::objectValue);
  out["cache_list"] = std::move(list);
  // Without indentation: a full map is a large text, sent often and escaped
  // once more inside its message.
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, out);
}

// The answer of one host-cache entry; nullopt when the entry is unusable.
std::optional<std::pair<std::string, ovProxyInfo>> EntryFromJson(const Json::Value& entry) {
  const Json::Value* host = Member(entry, "host");
  const Json::Value* proxy_host = Member(entry, "proxy_host");
  if (!host || !host->isString() || !proxy_host || !proxy_host->isString()) return std::nullopt;
  // Text that is not UTF-8 would come out of the next snapshot altered
  // (the JSON writer re-encodes it), so a joining peer would see other hosts.
  if (!klb::is_utf8(host->asString()) || !klb::is_utf8(proxy_host->asString())) {
    return std::nullopt;
  }
  if (auto routes = RoutesFromJson(entry)) return std::make_pair(host->asString(), *routes);
  const Json::Value* port = Member(entry, "proxy_port");
  const Json::Value* type = Member(entry, "proxy_type");
  if (type && type->isString() && !klb::is_utf8(type->asString())) return std::nullopt;
  ovProxyServer server(proxy_host->asString(), port && IsInteger(*port) ? port->asInt() : 8080,
                       type && type->isString() ? type->asString() : std::string("http"));
  ovProxyInfo info;
  info.UseProxyServer(server);
  return std::make_pair(host->asString(), info);
}

}  // namespace

std::string host_cache_to_json(const ovHostCacheMap& cache) {
  return HostCacheToJson(cache);
}

std::string host_cache_entries_to_json(const ovHostCacheEntries& entries) {
  return HostCacheToJson(entries);
}

bool host_cache_from_json(const std::string& text, ovHostCacheMap& cache) {
  auto root = sync_json::Parse(text);
  if (!root || !root->isObject()) return false;
  const Json::Value* list = Member(*root, "cache_list");
  if (!list || !list->isArray()) return true;
  for (const Json::Value& entry : *list) {
    if (auto parsed = EntryFromJson(entry)) cache[parsed->first] = std::move(parsed->second);
  }
  return true;
}

bool host_cache_entries_from_json(const std::string& text, ovHostCacheEntries& entries,
                                  std::size_t limit) {
  entries.clear();
  auto root = sync_json::Parse(text);
  if (!root || !root->isObject()) return false;
  const Json::Value* list = Member(*root, "cache_list");
  if (!list || !list->isArray()) return true;
  // From the end: the most recently used are last, and a map over the bound
  // is cut before its entries are built, however long it is.
  std::unordered_set<std::string> seen;
  for (Json::ArrayIndex i = list->size(); i > 0 && entries.size() < limit; --i) {
    auto parsed = EntryFromJson((*list)[i - 1]);
    if (!parsed || !seen.insert(parsed->first).second) continue;
    entries.push_back(std::move(*parsed));
  }
  std::reverse(entries.begin(), entries.end());
  return true;
}

}  // namespace OVProxy
