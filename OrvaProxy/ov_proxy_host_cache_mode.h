// ovProxyHostCacheMode: the host-cache field of the proxy data-sync mode.
// The resolve service answers repeated hosts from it (lookup) and stores
// successful answers (put); with syncing on, the whole map and the
// cache-enabled flag are shared with the client's other processes.
//
// With syncing on, the data-access-layer object holds the one map: puts go
// into it (a put adds to what the others sent instead of replacing it with
// this process's own entries) and lookups search it once anything was put
// or received; the result is sent as the whole map, coalesced by the
// data-access layer. With syncing off, the field keeps its own map and
// lookups search a received map first.
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
