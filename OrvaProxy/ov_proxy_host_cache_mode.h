// ovProxyHostCacheMode: the host-cache field of the proxy data-sync mode.
// The resolve service answers repeated hosts from it (lookup) and stores
// successful answers (put); with syncing on, the whole map and the
// cache-enabled flag are shared with the client's other processes.
//
// Once a map was received from another process, lookups search it, and a
// change starts from it (a put adds to what the others know instead of
// replacing it with this process's own entries); the result is sent as the
// whole map, coalesced over a short window by the data-access layer.
//
// Thread: every operation may be called from any thread; the field's lock
// is taken before the data-access-layer object's lock.
// Lifetime: shared; holds the data-access-layer object strongly.
#pragma once

#include <memory>
#include <string>

#include "OrvaProxy/ov_proxy_sync_json.h"
#include "klbutil/klb_sync.h"
#include "tavbiz/ov_proxy_info.h"

namespace OVProxy {

class oDALProxyInfoMode;

class ovProxyHostCacheMode {
 public:
  explicit ovProxyHostCacheMode(bool sync_enabled);
  virtual ~ovProxyHostCacheMode();
  ovProxyHostCacheMode(const ovProxyHostCacheMode&) = delete;
  ovProxyHostCacheMode& operator=(const ovProxyHostCacheMode&) = delete;

  virtual bool isHostCacheEnabled();
  virtual void setHostCacheEnabled(bool enabled);
  // Copies the answer for `host` out; false when it is not cached.
  virtual bool lookup(const std::string& host, ovProxyInfo& info);
  virtual void put(const std::string& host, const ovProxyInfo& info);
  virtual void clear();
  virtual void replaceAll(const ovHostCacheMap& cache);
  virtual void onConfigChanged();
  virtual void setDalMode(std::shared_ptr<oDALProxyInfoMode> dal);

 private:
  void SendLocked();

  const bool sync_enabled_;
  bool enabled_ = true;
  ovHostCache cache_;
  std::shared_ptr<oDALProxyInfoMode> dal_;
  klb::thread_mutex_recursive lock_;
};

}  // namespace OVProxy
