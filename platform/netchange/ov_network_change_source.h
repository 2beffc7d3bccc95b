// Network-change notifications of the operating system: one callback, "the
// network changed", after links went up or down, addresses came or went, or
// routes changed. Bursts that arrive together are told once; notifications
// that change nothing (address lifetimes renewed, wireless link chatter) are
// not told at all.
//
// Thread: the callback runs on the source's own thread (it stands for the
// system's notification thread): a consumer posts to its runner from there
// and returns quickly. Start and Stop may be called from any thread, one at a
// time.
// Lifetime and cancellation: when Stop returns, the callback is not running
// and is never called again (called from inside the callback, Stop only
// promises the latter). Destruction stops the source.
#pragma once

#include <functional>
#include <memory>

namespace ovplatform {

class NetworkChangeSource {
 public:
  using Callback = std::function<void()>;

  virtual ~NetworkChangeSource() = default;
  // Starts watching. False when the system refuses (then the consumer goes
  // without notifications) or when the source was started before.
  virtual bool Start(Callback callback) = 0;
  // Idempotent.
  virtual void Stop() = 0;
};

// A new source: the system's (netlink on Linux, the IP helper on Windows:
// ov_network_change_source_win.h) unless a test installed a
// factory of its own.
std::unique_ptr<NetworkChangeSource> CreateNetworkChangeSource();

using NetworkChangeSourceFactory = std::function<std::unique_ptr<NetworkChangeSource>()>;
// An empty factory restores the system's.
void OverrideNetworkChangeSourceForTesting(NetworkChangeSourceFactory factory);

}  // namespace ovplatform
