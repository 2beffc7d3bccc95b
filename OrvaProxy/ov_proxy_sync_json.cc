#include "OrvaProxy/ov_proxy_sync_json.h"

#include <json/json.h>

#include <sstream>

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

}  // namespace

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
  if (const Json::Value* v = Member(*root, "bypass_list"); v && v->isArray()) {
    for (const Json::Value& rule : *v) {
      if (rule.isString()) rules.bypass_rules.AddRuleFromString(rule.asString());
    }
  }
  return true;
}

std::string host_cache_to_json(const ovHostCacheMap& cache) {
  Json::Value list(Json::arrayValue);
  for (const auto& [host, info] : cache) {
    Json::Value entry(Json::objectValue);
    entry["host"] = host;
    if (info.is_empty()) {
      entry["proxy_host"] = "";
      entry["proxy_port"] = 0;
      entry["proxy_type"] = "direct";
    } else {
      entry["proxy_host"] = info.proxy_server().host;
      entry["proxy_port"] = info.proxy_server().port;
      entry["proxy_type"] = info.proxy_server().scheme;
    }
    list.append(entry);
  }
  Json::Value out(Json::objectValue);
  out["cache_list"] = list;
  return sync_json::Write(out);
}

bool host_cache_from_json(const std::string& text, ovHostCacheMap& cache) {
  auto root = sync_json::Parse(text);
  if (!root || !root->isObject()) return false;
  const Json::Value* list = Member(*root, "cache_list");
  if (!list || !list->isArray()) return true;
  for (const Json::Value& entry : *list) {
    const Json::Value* host = Member(entry, "host");
    const Json::Value* proxy_host = Member(entry, "proxy_host");
    if (!host || !host->isString() || !proxy_host || !proxy_host->isString()) continue;
    // Text that is not UTF-8 would come out of the next snapshot altered
    // (the JSON writer re-encodes it), so a joining peer would see other hosts.
    if (!klb::is_utf8(host->asString()) || !klb::is_utf8(proxy_host->asString())) continue;
    const Json::Value* port = Member(entry, "proxy_port");
    const Json::Value* type = Member(entry, "proxy_type");
    ovProxyServer server(proxy_host->asString(), port && IsInteger(*port) ? port->asInt() : 8080,
                         type && type->isString() ? type->asString() : std::string("http"));
    ovProxyInfo info;
    info.UseProxyServer(server);
    cache[host->asString()] = info;
  }
  return true;
}

}  // namespace OVProxy
