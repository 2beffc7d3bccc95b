// The Windows network-change source: the IP helper's notifications of
// interface, unicast address and route changes (NotifyIpInterfaceChange,
// NotifyUnicastIpAddressChange, NotifyRouteChange2, IPv4 and IPv6), which
// the system delivers on its own threads.
//
// How only real changes are told, and bursts once: a system notification
// only wakes the source's thread. That thread waits until the notifications
// have been quiet for kSettle (at most kMaxSettle after the first), reads the
// interface, address and route tables (ov_ip_helper_state_win.h), and tells
// the callback once when they differ from what it read before. Start reads
// them before it returns, so every change after Start is told. When the
// tables cannot be read the callback is told anyway: better one needless
// notification than a missed one.
//
// When the system refuses: Start answers false when a registration fails
// or comes back without a handle. The second is what Wine 8 does (its
// functions are stubs that report success, hand out no handle and never
// notify); a registration without a handle could not be cancelled, so Stop
// could not keep its promise either. The consumer then goes without
// notifications.
//
// Thread, lifetime, cancellation: see ov_network_change_source.h; the
// callback runs on the source's own thread, never on a system thread. The
// system's callbacks reach the source through a process-wide table of live
// registrations, so a late one after Stop finds nothing. Stop from inside
// the callback is safe (the thread then ends on its own).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "platform/netchange/ov_ip_helper_state_win.h"
#include "platform/netchange/ov_network_change_source.h"

namespace ovplatform {

// What the source needs of the system; tests supply their own.
struct IpHelperBackend {
  // Registers for change notifications: `notify` may then be called on any
  // thread, any number of times. False when the system refuses.
  std::function<bool(std::function<void()> notify)> subscribe;
  // Ends the registration: when it returns, `notify` is not running and is
  // never called again.
  std::function<void()> unsubscribe;
  // The current state; nullopt when it cannot be read.
  std::function<std::optional<IpHelperState>()> read;
};

class IpHelperNetworkChangeSource final : public NetworkChangeSource {
 public:
  static constexpr std::chrono::milliseconds kSettle{50};
  static constexpr std::chrono::milliseconds kMaxSettle{1000};

  // The system's notifications and tables.
  IpHelperNetworkChangeSource();
  explicit IpHelperNetworkChangeSource(IpHelperBackend backend);
  ~IpHelperNetworkChangeSource() override;
  IpHelperNetworkChangeSource(const IpHelperNetworkChangeSource&) = delete;
  IpHelperNetworkChangeSource& operator=(const IpHelperNetworkChangeSource&) = delete;

  bool Start(Callback callback) override;
  void Stop() override;

  class Worker;

 private:
  IpHelperBackend backend_;
  std::shared_ptr<Worker> worker_;
  std::thread thread_;
  bool started_ = false;
  bool subscribed_ = false;
};

// The system's backend.
IpHelperBackend SystemIpHelperBackend();

}  // namespace ovplatform
