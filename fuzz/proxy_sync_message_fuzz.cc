// Data-sync messages and snapshots from another process, on arbitrary text:
// the readers never crash, and a text that the mode ignores leaves what was
// received unchanged. The first byte picks the field (or the snapshot path).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "OrvaProxy/o_dal_proxy_info_mode.h"
#include "OrvaProxy/ov_proxy_sync_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  OVProxy::oDALProxyInfoMode mode(false);
  switch (data[0] % 4) {
    case 0:
      mode.onSyncData(OVProxy::kProxyInfoModeId, OVProxy::kProxyConfigFieldId, text);
      break;
    case 1:
      mode.onSyncData(OVProxy::kProxyInfoModeId, OVProxy::kProxyHostCacheFieldId, text);
      break;
    case 2:
      mode.applySyncData(text);
      break;
    default: {
      OVProxy::ovProxyConfig config;
      if (OVProxy::config_from_json(text, config)) (void)OVProxy::config_to_json(config);
      OVProxy::ovHostCacheMap cache;
      if (OVProxy::host_cache_from_json(text, cache)) (void)OVProxy::host_cache_to_json(cache);
      // The ordered reader with a small bound: what it keeps reads back the same.
      OVProxy::ovHostCacheEntries entries;
      if (OVProxy::host_cache_entries_from_json(text, entries, 4)) {
        if (entries.size() > 4) std::abort();
        OVProxy::ovHostCacheEntries again;
        if (!OVProxy::host_cache_entries_from_json(OVProxy::host_cache_entries_to_json(entries),
                                                   again, 4) ||
            again != entries) {
          std::abort();
        }
      }
      break;
    }
  }
  // Whatever was taken survives a snapshot round trip into a fresh object.
  const std::string snapshot = mode.getSyncData();
  OVProxy::oDALProxyInfoMode joiner(false);
  joiner.applySyncData(snapshot);
  if (joiner.getSyncData() != snapshot && snapshot.find("timestamp") == std::string::npos) {
    std::abort();
  }
  return 0;
}
