// What a mode gives the data-access layer so that other processes can share
// it: its id, a snapshot of what it holds, and the handlers for a snapshot
// and a single message received from another process.
//
// Thread: getSyncData, applySyncData and onSyncData are called on the bus's
// receive thread (and getSyncData also on a requesting thread); a sink
// guards its own state. Lifetime: a sink registered with IPCHelper::AddSink
// must call IPCHelper::RemoveSink before it is destroyed; after that no
// call reaches it.
#pragma once

#include <string>

namespace ns_dal {

class IDALDataSyncProvider {
 public:
  virtual ~IDALDataSyncProvider() = default;
  virtual std::string getModeId() const = 0;
  // The whole shared state as one text; "" when there is nothing to share.
  virtual std::string getSyncData() = 0;
  // Applies a snapshot text that another process's getSyncData produced.
  virtual void applySyncData(const std::string& text) = 0;
  // Whether this sink answers snapshot requests of other processes.
  virtual bool isSyncDataProvider() const = 0;
  // Called when the bus gave up on a snapshot request; nothing to do for
  // most sinks.
  virtual void onSyncDataUnavailable() = 0;
};

class IDALIPCSink : public IDALDataSyncProvider {
 public:
  // One message of another process.
  virtual void onSyncData(const std::string& mode_id, const std::string& field_id,
                          const std::string& text) = 0;
};

// The interface of the proxy-information mode, as the business library
// declares it; the mode's objects derive from it.
class IDALProxyInfoMode {
 public:
  virtual ~IDALProxyInfoMode() = default;
};

}  // namespace ns_dal
