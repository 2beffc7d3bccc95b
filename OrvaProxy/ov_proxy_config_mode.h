// ovProxyConfigMode: the configuration field of the proxy data-sync mode.
// The PAC decider and the resolve service read and change the configuration
// (with its PAC text) through it; with syncing on, every change leaves for
// the client's other processes through the data-access-layer object.
//
// Reads answer the configuration received from another process when there
// is one, else the local copy. A change starts from that same current
// configuration (so a setter never rolls back what another process sent),
// creates the local copy when absent and sends the whole configuration
// ("updateConfig"); the SOCKS flag and clearing the auto-detect PAC URL send
// messages of their own.
//
// Thread: every operation may be called from any thread; one lock per field,
// taken before the data-access-layer object's lock.
// Lifetime: shared; holds the data-access-layer object strongly.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "klbutil/klb_sync.h"
#include "tavbiz/ov_proxy_server.h"

namespace OVProxy {

class oDALProxyInfoMode;

class ovProxyConfigMode {
 public:
  explicit ovProxyConfigMode(bool sync_enabled);
  virtual ~ovProxyConfigMode();
  ovProxyConfigMode(const ovProxyConfigMode&) = delete;
  ovProxyConfigMode& operator=(const ovProxyConfigMode&) = delete;

  // The current configuration (a received one also becomes the local copy);
  // false when there is none at all.
  virtual bool getConfig(ovProxyConfig& config);
  // Takes `config` when it differs from the local copy and is newer
  // (update_timestamp); always true.
  virtual bool updateConfig(const ovProxyConfig& config);
  virtual void resetConfig();
  virtual ovPacFileType getPacFileType();
  virtual void setPacFileType(ovPacFileType type);
  virtual std::string getAutoDetectPacUrl();
  virtual void setAutoDetectPacUrl(const std::string& url);
  virtual void clearAutoDetectPacUrl();
  virtual ovProxyServer getHttpProxy();
  virtual void setHttpProxy(const ovProxyServer& server);
  virtual ovProxyServer getHttpsProxy();
  virtual void setHttpsProxy(const ovProxyServer& server);
  virtual ovProxyServer getSocksProxy();
  virtual void setSocksProxy(const ovProxyServer& server);
  virtual ovProxyBypassRules getBypassRules();
  virtual void setBypassList(const std::vector<std::string>& rules);
  virtual void addBypassRule(const std::string& rule);
  virtual void clearBypassRules();
  virtual bool isBypassLocalhost();
  virtual void setBypassLocalhost(bool bypass);
  virtual bool isAutoDetectEnabled();
  virtual void setAutoDetectEnabled(bool enabled);
  virtual std::string getPacContent();
  virtual void setPacContent(const std::string& content);
  virtual void clearPacContent();
  virtual std::string getPacUrl();
  virtual void setPacUrl(const std::string& url);
  virtual bool getPacSocksFlag();
  virtual void setPacSocksFlag(bool has_socks);
  virtual void setDalMode(std::shared_ptr<oDALProxyInfoMode> dal);

 private:
  // The configuration reads see: received, else local, else a default one.
  ovProxyConfig CurrentLocked();
  // The local copy, refreshed from a received configuration, made when absent.
  ovProxyConfig& WritableLocked();
  void SendLocked();
  template <class F>
  void Change(F change);

  const bool sync_enabled_;
  std::shared_ptr<ovProxyConfig> local_;
  bool pac_socks_ = false;
  std::shared_ptr<oDALProxyInfoMode> dal_;
  klb::thread_mutex_recursive lock_;
};

}  // namespace OVProxy
