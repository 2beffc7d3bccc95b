// The Linux network-change source: an rtnetlink socket subscribed to link,
// address and route changes (IPv4 and IPv6), read on a thread of its own.
//
// Start reads the current state before it returns, so every change after
// Start is told. How bursts are told once: the thread drains everything the kernel has
// queued before it looks at the state, and tells the callback once per
// drained batch that changed the state (ov_netlink_state.h). Events the
// kernel had to drop (socket buffer overrun) are made good by reading the
// whole state again and telling the callback when it differs.
//
// Thread, lifetime, cancellation: see ov_network_change_source.h. The
// thread's resources live in a shared worker, so Stop or destruction from
// inside the callback is safe (the thread then ends on its own).
#pragma once

#include <memory>
#include <thread>

#include "platform/netchange/ov_network_change_source.h"

namespace ovplatform {

class NetlinkNetworkChangeSource final : public NetworkChangeSource {
 public:
  NetlinkNetworkChangeSource() = default;
  ~NetlinkNetworkChangeSource() override;
  NetlinkNetworkChangeSource(const NetlinkNetworkChangeSource&) = delete;
  NetlinkNetworkChangeSource& operator=(const NetlinkNetworkChangeSource&) = delete;

  bool Start(Callback callback) override;
  void Stop() override;

  class Worker;

 private:
  std::shared_ptr<Worker> worker_;
  std::thread thread_;
  bool started_ = false;
};

}  // namespace ovplatform
