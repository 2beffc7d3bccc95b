// oDALProxyInfoMode: the proxy mode's link to the data-access layer. It
// sends what the field objects change, stores what other processes send,
// and answers and applies snapshots for processes that join later.
//
// Every kind of shared state (configuration, PAC text, PAC URL, SOCKS flag,
// auto-detect flag, auto-detect PAC URL, host cache, cache-enabled flag) has
// a stored value and a received mark. Receiving sets the value and the mark;
// sending through this object overwrites the value (the mark stays as it
// was), so once a kind was received, reads follow the latest write from
// either side. A snapshot carries only the kinds this process holds (sent
// or received), so a process that knows nothing cannot blank out a joiner.
//
// Thread: every operation may be called from any thread; one lock guards
// the stored values and the dispatcher has its own. Lock order: a field's
// lock, then this object's lock, then the dispatcher's. Field listeners run
// on the bus's thread after this object's lock was released, so a listener
// may read the fields.
// Lifetime: construction registers the sink (and asks a peer for a snapshot)
// when sending is enabled; destruction removes it and returns once no
// delivery runs. Host-cache sends are coalesced and hold only a weak link.
// A send copies the entries under the lock and writes the text after it is
// released, on the layer's runner: the resolve runner never waits for a
// whole map to be written or read. Sends of a large map keep a gap that
// grows with its size (10 ms per 256 hosts; none below 256), so a burst of
// new hosts costs a handful of messages a second, not one per window.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_proxy_sync_json.h"
#include "klbutil/klb_sync.h"
#include "nsdal/idal_dispatcher.h"
#include "nsdal/idal_ipc_sink.h"

namespace Json {
class Value;
}

namespace OVProxy {

class ovProxyConfigMode;
class ovProxyHostCacheMode;

// What was received from other processes, each kind only when its mark is
// set.
struct ovDalReceivedState {
  std::optional<ovProxyConfig> config;
  std::optional<std::string> pac_content;
  std::optional<std::string> pac_url;
  std::optional<bool> pac_socks;
  std::optional<bool> auto_detect;
  std::optional<std::string> auto_detect_pac_url;
  std::optional<ovHostCacheMap> host_cache;
  std::optional<bool> host_cache_enabled;
};

class oDALProxyInfoMode final : public ns_dal::TDALDispatcher_Impl<ns_dal::IDALProxyInfoMode>,
                                public ns_dal::IDALIPCSink,
                                public std::enable_shared_from_this<oDALProxyInfoMode> {
 public:
  explicit oDALProxyInfoMode(bool send_enabled = true);
  ~oDALProxyInfoMode() override;
  oDALProxyInfoMode(const oDALProxyInfoMode&) = delete;
  oDALProxyInfoMode& operator=(const oDALProxyInfoMode&) = delete;

  // Operations of the field objects.
  void setConfig(const ovProxyConfig& config);
  bool getConfig(ovProxyConfig& config);
  void setPacSocksFlag(bool has_socks);
  // The received SOCKS flag; false when none was received.
  bool getPacSocksFlag(bool& has_socks);
  void setHostCacheMap(const ovHostCache& cache);
  // One answer of the host-cache field. With `send` it goes into the shared
  // map (the received one, or the one the field set) and `local` is left
  // alone; without, `local` (the field's own map) takes the received map
  // when one came in since the field last wrote, then the entry.
  void putHostCacheEntry(const std::string& host, const ovProxyInfo& info, ovHostCache& local,
                         bool send);
  // The received host cache; false when none was received.
  bool getHostCacheMap(ovHostCacheMap& cache);
  // nullopt when no host cache was received or set; else whether `host` is
  // in the shared map (a hit counts as use).
  std::optional<bool> lookupReceived(const std::string& host, ovProxyInfo& info);
  void setHostCacheEnabled(bool enabled);
  bool getHostCacheEnabled(bool& enabled);
  void setAutoDetectPacUrl(const std::string& url);
  void setFields(const std::weak_ptr<ovProxyHostCacheMode>& host_cache,
                 const std::weak_ptr<ovProxyConfigMode>& config);

  ovDalReceivedState received();

  // ns_dal::IDALIPCSink
  std::string getModeId() const override;
  std::string getSyncData() override;
  void applySyncData(const std::string& text) override;
  bool isSyncDataProvider() const override;
  void onSyncDataUnavailable() override;
  void onSyncData(const std::string& mode_id, const std::string& field_id,
                  const std::string& text) override;

 private:
  void SendLocked(const char* field_id, const Json::Value& message);
  // Handle one message object; true when it stored something.
  bool HandleConfigMessageLocked(const Json::Value& message);
  bool HandleHostCacheMessageLocked(const Json::Value& message);
  // The host-cache map of an "updateHostCacheMap" message, cut to the bound;
  // needs no lock, so the parsing of a large map holds up no resolve.
  static std::optional<ovHostCache> DecodeHostCacheMap(const Json::Value& message);
  void AdoptHostCacheLocked(ovHostCache cache);
  std::optional<std::string> HostCacheMessageText();
  void ScheduleHostCacheSendLocked();

  const bool send_enabled_;
  // When the last host-cache map left (monotonic microseconds), and whether
  // one did: large maps keep a gap between two sends.
  int64_t host_cache_sent_us_ = 0;
  bool host_cache_sent_ = false;
  bool host_cache_deferring_ = false;
  ovProxyConfig config_;
  std::string pac_content_;
  std::string pac_url_;
  bool pac_socks_ = false;
  ovHostCache host_cache_;
  // A process that never heard otherwise keeps its cache on.
  bool host_cache_enabled_ = true;
  bool auto_detect_ = false;
  std::string auto_detect_pac_url_;

  bool config_received_ = false;
  bool pac_content_received_ = false;
  bool pac_url_received_ = false;
  bool pac_socks_received_ = false;
  bool auto_detect_received_ = false;
  bool auto_detect_pac_url_received_ = false;
  bool host_cache_received_ = false;
  bool host_cache_enabled_received_ = false;

  // Whether this process holds the kind at all (sent or received).
  bool config_held_ = false;
  bool pac_socks_held_ = false;
  bool host_cache_held_ = false;
  bool host_cache_enabled_held_ = false;
  // host_cache_ was last written by the host-cache field, so it equals the
  // field's own map.
  bool host_cache_from_field_ = false;

  std::weak_ptr<ovProxyHostCacheMode> host_cache_field_;
  std::weak_ptr<ovProxyConfigMode> config_field_;
  klb::thread_mutex_recursive lock_;
  const bool provider_ = true;
};

}  // namespace OVProxy
