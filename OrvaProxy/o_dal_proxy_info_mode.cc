#include "OrvaProxy/o_dal_proxy_info_mode.h"

#include <json/json.h>

#include <utility>

#include "nsdal/ipc_helper.h"
#include "tavlib/tav_clock.h"

namespace OVProxy {
namespace {

using sync_json::Flag;
using sync_json::Message;
using sync_json::StampedText;

// Large host-cache maps keep kHostCacheSendGapStepUs between two sends per
// kHostCacheSendGapHosts hosts they hold.
constexpr std::size_t kHostCacheSendGapHosts = 256;
constexpr int64_t kHostCacheSendGapStepUs = 10'000;

const std::string kConfigKey = kProxyConfigFieldId;
const std::string kHostCacheKey = kProxyHostCacheFieldId;

// The string member `key` of a message object, or null.
const Json::Value* StringMember(const Json::Value& object, const char* key) {
  if (!object.isObject()) return nullptr;
  const Json::Value* value = object.find(key, key + std::char_traits<char>::length(key));
  return value && value->isString() ? value : nullptr;
}

// The payload member `key` of a message, parsed: its value must be a string
// holding a JSON object.
std::optional<Json::Value> Payload(const Json::Value& message, const char* key) {
  const Json::Value* text = StringMember(message, key);
  if (!text) return std::nullopt;
  auto payload = sync_json::Parse(text->asString());
  if (!payload || !payload->isObject()) return std::nullopt;
  return payload;
}

std::optional<std::string> PayloadString(const Json::Value& message, const char* key,
                                         const char* inner) {
  auto payload = Payload(message, key);
  if (!payload) return std::nullopt;
  const Json::Value* value = StringMember(*payload, inner);
  if (!value) return std::nullopt;
  return value->asString();
}

std::optional<bool> PayloadBool(const Json::Value& message, const char* key, const char* inner) {
  auto payload = Payload(message, key);
  if (!payload) return std::nullopt;
  const Json::Value* value = payload->find(inner, inner + std::char_traits<char>::length(inner));
  if (!value || !value->isBool()) return std::nullopt;
  return value->asBool();
}

Json::Value UpdateConfigMessage(const ovProxyConfig& config) {
  Json::Value message(Json::objectValue);
  message["operation"] = "updateConfig";
  message["config"] = config_to_json(config);
  return message;
}

Json::Value HostCacheMessage(const ovHostCacheEntries& entries) {
  Json::Value message(Json::objectValue);
  message["operation"] = "updateHostCacheMap";
  message["cacheMap"] = host_cache_entries_to_json(entries);
  return message;
}

}  // namespace

oDALProxyInfoMode::oDALProxyInfoMode(bool send_enabled) : send_enabled_(send_enabled) {
  // Last: from here on the bus may call in (a snapshot may arrive at once).
  if (send_enabled_) ns_dal::IPCHelper::AddSink(kProxyInfoModeId, this);
}

oDALProxyInfoMode::~oDALProxyInfoMode() {
  if (send_enabled_) ns_dal::IPCHelper::RemoveSink(kProxyInfoModeId, this);
}

void oDALProxyInfoMode::SendLocked(const char* field_id, const Json::Value& message) {
  if (!send_enabled_) return;
  ns_dal::IPCHelper::SyncData(kProxyInfoModeId, field_id, sync_json::Write(message),
                              ns_dal::kAllPeers);
}

void oDALProxyInfoMode::setConfig(const ovProxyConfig& config) {
  std::lock_guard lock(lock_);
  config_ = config;
  config_held_ = true;
  SendLocked(kProxyConfigFieldId, UpdateConfigMessage(config_));
}

bool oDALProxyInfoMode::getConfig(ovProxyConfig& config) {
  std::lock_guard lock(lock_);
  if (!config_received_) return false;
  config = config_;
  return true;
}

void oDALProxyInfoMode::setPacSocksFlag(bool has_socks) {
  std::lock_guard lock(lock_);
  pac_socks_ = has_socks;
  pac_socks_held_ = true;
  SendLocked(kProxyConfigFieldId,
             Message("setPacSocksFlag", "hasSocks", Flag("has_socks", has_socks)));
}

bool oDALProxyInfoMode::getPacSocksFlag(bool& has_socks) {
  std::lock_guard lock(lock_);
  if (!pac_socks_received_) return false;
  has_socks = pac_socks_;
  return true;
}

std::optional<std::string> oDALProxyInfoMode::HostCacheMessageText() {
  ovHostCacheEntries entries;
  {
    std::lock_guard lock(lock_);
    const int64_t now = Tav::TimeTicks::Now();
    const auto gap =
        static_cast<int64_t>(host_cache_.size() / kHostCacheSendGapHosts) * kHostCacheSendGapStepUs;
    if (!host_cache_deferring_ && host_cache_sent_ && now - host_cache_sent_us_ < gap) {
      // Too soon after the last map: looked at again one window later (the
      // layer dropped this send's entry before asking for its text). When
      // the layer cannot post (shutting down) it asks again at once, from
      // inside this call: that asking sends rather than defers again.
      host_cache_deferring_ = true;
      ScheduleHostCacheSendLocked();
      host_cache_deferring_ = false;
      return std::nullopt;
    }
    host_cache_sent_ = true;
    host_cache_sent_us_ = now;
    entries = host_cache_.entries();
  }
  return sync_json::Write(HostCacheMessage(entries));
}

void oDALProxyInfoMode::setHostCacheMap(const ovHostCache& cache) {
  std::lock_guard lock(lock_);
  host_cache_ = cache;
  host_cache_held_ = true;
  host_cache_from_field_ = true;
  ScheduleHostCacheSendLocked();
}

void oDALProxyInfoMode::putHostCacheEntry(const std::string& host, const ovProxyInfo& info,
                                          ovHostCache& local, bool send) {
  std::lock_guard lock(lock_);
  if (!send) {
    if (host_cache_received_ && !host_cache_from_field_) local = host_cache_;
    local.put(host, info);
    return;
  }
  // The shared map is the field's only one: no whole map is copied here.
  host_cache_.put(host, info);
  host_cache_held_ = true;
  host_cache_from_field_ = true;
  ScheduleHostCacheSendLocked();
}

void oDALProxyInfoMode::ScheduleHostCacheSendLocked() {
  if (!send_enabled_) return;
  // Answers come in bursts and every message holds the whole map: one send
  // per short window carries the latest map.
  std::weak_ptr<oDALProxyInfoMode> weak = weak_from_this();
  if (weak.expired()) {
    SendLocked(kProxyHostCacheFieldId, HostCacheMessage(host_cache_.entries()));
    return;
  }
  ns_dal::IPCHelper::SyncDataCoalesced(kProxyInfoModeId, kProxyHostCacheFieldId,
                                       "updateHostCacheMap",
                                       [weak]() -> std::optional<std::string> {
                                         auto self = weak.lock();
                                         return self ? self->HostCacheMessageText() : std::nullopt;
                                       });
}

bool oDALProxyInfoMode::getHostCacheMap(ovHostCacheMap& cache) {
  std::lock_guard lock(lock_);
  if (!host_cache_received_) return false;
  cache = host_cache_.map();
  return true;
}

std::optional<bool> oDALProxyInfoMode::lookupReceived(const std::string& host, ovProxyInfo& info) {
  std::lock_guard lock(lock_);
  if (!host_cache_received_ && !host_cache_held_) return std::nullopt;
  return host_cache_.lookup(host, info);
}

void oDALProxyInfoMode::setHostCacheEnabled(bool enabled) {
  std::lock_guard lock(lock_);
  host_cache_enabled_ = enabled;
  host_cache_enabled_held_ = true;
  SendLocked(kProxyHostCacheFieldId,
             Message("setHostCacheEnabled", "enabled", Flag("enabled", enabled)));
}

bool oDALProxyInfoMode::getHostCacheEnabled(bool& enabled) {
  std::lock_guard lock(lock_);
  if (!host_cache_enabled_received_) return false;
  enabled = host_cache_enabled_;
  return true;
}

void oDALProxyInfoMode::setAutoDetectPacUrl(const std::string& url) {
  std::lock_guard lock(lock_);
  auto_detect_pac_url_ = url;
  SendLocked(kProxyConfigFieldId, Message("setAutoDetectPacUrl", "url", StampedText("url", url)));
}

void oDALProxyInfoMode::setFields(const std::weak_ptr<ovProxyHostCacheMode>& host_cache,
                                  const std::weak_ptr<ovProxyConfigMode>& config) {
  std::lock_guard lock(lock_);
  host_cache_field_ = host_cache;
  config_field_ = config;
}

ovDalReceivedState oDALProxyInfoMode::received() {
  std::lock_guard lock(lock_);
  ovDalReceivedState state;
  if (config_received_) state.config = config_;
  if (pac_content_received_) state.pac_content = pac_content_;
  if (pac_url_received_) state.pac_url = pac_url_;
  if (pac_socks_received_) state.pac_socks = pac_socks_;
  if (auto_detect_received_) state.auto_detect = auto_detect_;
  if (auto_detect_pac_url_received_) state.auto_detect_pac_url = auto_detect_pac_url_;
  if (host_cache_received_) state.host_cache = host_cache_.map();
  if (host_cache_enabled_received_) state.host_cache_enabled = host_cache_enabled_;
  return state;
}

std::string oDALProxyInfoMode::getModeId() const {
  return kProxyInfoModeId;
}

std::string oDALProxyInfoMode::getSyncData() {
  Json::Value snapshot(Json::objectValue);
  {
    std::lock_guard lock(lock_);
    if (config_held_ || config_received_) snapshot[kConfigKey] = UpdateConfigMessage(config_);
    if (pac_content_received_) {
      snapshot[kConfigKey + "_pac_content"] =
          Message("setPacContent", "content", StampedText("content", pac_content_));
    }
    if (pac_url_received_) {
      snapshot[kConfigKey + "_pac_url"] = Message("setPacUrl", "url", StampedText("url", pac_url_));
    }
    if (pac_socks_held_ || pac_socks_received_) {
      snapshot[kConfigKey + "_pac_socks"] =
          Message("setPacSocksFlag", "hasSocks", Flag("has_socks", pac_socks_));
    }
    if (auto_detect_received_) {
      snapshot[kConfigKey + "_auto_detect"] =
          Message("setAutoDetectEnabled", "enabled", Flag("enabled", auto_detect_));
    }
    if (host_cache_held_ || host_cache_received_)
      snapshot[kHostCacheKey] = HostCacheMessage(host_cache_.entries());
    if (host_cache_enabled_held_ || host_cache_enabled_received_) {
      snapshot[kHostCacheKey + "_enabled"] =
          Message("setHostCacheEnabled", "enabled", Flag("enabled", host_cache_enabled_));
    }
  }
  if (snapshot.empty()) return std::string();
  return sync_json::Write(snapshot);
}

void oDALProxyInfoMode::applySyncData(const std::string& text) {
  auto snapshot = sync_json::Parse(text);
  if (!snapshot || !snapshot->isObject()) return;
  static const char* const kConfigSuffixes[] = {"",           "_pac_content", "_pac_url",
                                                "_pac_socks", "_auto_detect", "_ff_auto_detect"};
  std::lock_guard lock(lock_);
  for (const char* suffix : kConfigSuffixes) {
    const std::string key = kConfigKey + suffix;
    const Json::Value* message = snapshot->find(key.data(), key.data() + key.size());
    if (message && message->isObject()) HandleConfigMessageLocked(*message);
  }
  for (const char* suffix : {"", "_enabled"}) {
    const std::string key = kHostCacheKey + suffix;
    const Json::Value* message = snapshot->find(key.data(), key.data() + key.size());
    if (message && message->isObject()) HandleHostCacheMessageLocked(*message);
  }
}

bool oDALProxyInfoMode::isSyncDataProvider() const {
  return provider_;
}

void oDALProxyInfoMode::onSyncDataUnavailable() {}

void oDALProxyInfoMode::onSyncData(const std::string& mode_id, const std::string& field_id,
                                   const std::string& text) {
  if (mode_id != kProxyInfoModeId) return;
  auto message = sync_json::Parse(text);
  if (message && message->isObject()) {
    if (field_id == kProxyHostCacheFieldId) {
      // A whole map is read before the lock is taken: lookups and puts on
      // the resolve runner go on meanwhile.
      if (auto cache = DecodeHostCacheMap(*message)) {
        std::lock_guard lock(lock_);
        AdoptHostCacheLocked(std::move(*cache));
      } else {
        std::lock_guard lock(lock_);
        HandleHostCacheMessageLocked(*message);
      }
    } else if (field_id == kProxyConfigFieldId) {
      std::lock_guard lock(lock_);
      HandleConfigMessageLocked(*message);
    }
  }
  // Outside this object's lock: listeners read the fields, whose locks come
  // before this one.
  DispatchFieldChanged(mode_id, field_id);
}

std::optional<ovHostCache> oDALProxyInfoMode::DecodeHostCacheMap(const Json::Value& message) {
  const Json::Value* operation = StringMember(message, "operation");
  if (!operation || operation->asString() != "updateHostCacheMap") return std::nullopt;
  const Json::Value* text = StringMember(message, "cacheMap");
  ovHostCacheEntries entries;
  if (!text || !host_cache_entries_from_json(text->asString(), entries, kHostCacheCapacity)) {
    return std::nullopt;
  }
  ovHostCache cache;
  cache.assign(entries);
  return cache;
}

void oDALProxyInfoMode::AdoptHostCacheLocked(ovHostCache cache) {
  host_cache_ = std::move(cache);
  host_cache_received_ = true;
  host_cache_from_field_ = false;
}

bool oDALProxyInfoMode::HandleHostCacheMessageLocked(const Json::Value& message) {
  if (auto cache = DecodeHostCacheMap(message)) {
    AdoptHostCacheLocked(std::move(*cache));
    return true;
  }
  const Json::Value* operation = StringMember(message, "operation");
  if (!operation) return false;
  if (operation->asString() == "setHostCacheEnabled") {
    auto enabled = PayloadBool(message, "enabled", "enabled");
    if (!enabled) return false;
    host_cache_enabled_ = *enabled;
    host_cache_enabled_received_ = true;
    return true;
  }
  return false;
}

bool oDALProxyInfoMode::HandleConfigMessageLocked(const Json::Value& message) {
  const Json::Value* operation_value = StringMember(message, "operation");
  if (!operation_value) return false;
  const std::string operation = operation_value->asString();
  if (operation == "updateConfig") {
    const Json::Value* text = StringMember(message, "config");
    ovProxyConfig config;
    if (!text || !config_from_json(text->asString(), config)) return false;
    config_ = std::move(config);
    config_received_ = true;
    return true;
  }
  if (operation == "setPacContent") {
    auto content = PayloadString(message, "content", "content");
    if (!content) return false;
    pac_content_ = std::move(*content);
    pac_content_received_ = true;
    return true;
  }
  if (operation == "setPacUrl") {
    auto url = PayloadString(message, "url", "url");
    if (!url) return false;
    pac_url_ = std::move(*url);
    pac_url_received_ = true;
    return true;
  }
  if (operation == "setPacSocksFlag") {
    auto flag = PayloadBool(message, "hasSocks", "has_socks");
    if (!flag) return false;
    pac_socks_ = *flag;
    pac_socks_received_ = true;
    return true;
  }
  if (operation == "setAutoDetectEnabled") {
    auto flag = PayloadBool(message, "enabled", "enabled");
    if (!flag) return false;
    auto_detect_ = *flag;
    auto_detect_received_ = true;
    return true;
  }
  if (operation == "setAutoDetectPacUrl") {
    auto url = PayloadString(message, "url", "url");
    if (!url) return false;
    auto_detect_pac_url_ = std::move(*url);
    auto_detect_pac_url_received_ = true;
    return true;
  }
  return false;
}

}  // namespace OVProxy
