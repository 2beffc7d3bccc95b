#include "platform/netchange/ov_network_change_source_win.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <utility>

namespace ovplatform {
namespace {

// The live registrations of every source of the process. The system calls
// back with an id instead of a pointer, so a callback that arrives after its
// registration ended (or one that never could be cancelled) finds nothing.
struct Registry {
  std::mutex mutex;
  std::map<uintptr_t, std::function<void()>> live;
  uintptr_t last_id = 0;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

void Deliver(PVOID context, MIB_NOTIFICATION_TYPE type) {
  // Only a confirmation that the registration exists, not a change.
  if (type == MibInitialNotification) return;
  Registry& registry = TheRegistry();
  // Held while notifying, so that ending a registration waits it out.
  std::lock_guard lock(registry.mutex);
  const auto found = registry.live.find(reinterpret_cast<uintptr_t>(context));
  if (found != registry.live.end()) found->second();
}

void CALLBACK OnInterfaceChange(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE type) {
  Deliver(context, type);
}

void CALLBACK OnAddressChange(PVOID context, PMIB_UNICASTIPADDRESS_ROW,
                              MIB_NOTIFICATION_TYPE type) {
  Deliver(context, type);
}

void CALLBACK OnRouteChange(PVOID context, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE type) {
  Deliver(context, type);
}

// One source's registrations with the system.
class SystemSubscription {
 public:
  bool Subscribe(std::function<void()> notify) {
    Registry& registry = TheRegistry();
    {
      std::lock_guard lock(registry.mutex);
      id_ = ++registry.last_id;
      registry.live.emplace(id_, std::move(notify));
    }
    auto* context = reinterpret_cast<PVOID>(id_);
    bool ok = NotifyIpInterfaceChange(AF_UNSPEC, &OnInterfaceChange, context, FALSE,
                                      &handles_[0]) == NO_ERROR &&
              handles_[0] != nullptr;
    ok = ok &&
         NotifyUnicastIpAddressChange(AF_UNSPEC, &OnAddressChange, context, FALSE, &handles_[1]) ==
             NO_ERROR &&
         handles_[1] != nullptr;
    ok = ok &&
         NotifyRouteChange2(AF_UNSPEC, &OnRouteChange, context, FALSE, &handles_[2]) == NO_ERROR &&
         handles_[2] != nullptr;
    if (!ok) Unsubscribe();
    return ok;
  }

  void Unsubscribe() {
    for (HANDLE& handle : handles_) {
      if (handle != nullptr) CancelMibChangeNotify2(handle);
      handle = nullptr;
    }
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.live.erase(id_);
  }

 private:
  uintptr_t id_ = 0;
  std::array<HANDLE, 3> handles_{};
};

}  // namespace

IpHelperBackend SystemIpHelperBackend() {
  auto subscription = std::make_shared<SystemSubscription>();
  return IpHelperBackend{
      [subscription](std::function<void()> notify) {
        return subscription->Subscribe(std::move(notify));
      },
      [subscription] { subscription->Unsubscribe(); },
      [] { return IpHelperState::Read(); },
  };
}

class IpHelperNetworkChangeSource::Worker {
 public:
  Worker(std::function<std::optional<IpHelperState>()> read, Callback callback)
      : read_(std::move(read)), callback_(std::move(callback)) {}

  // What later reads are compared with; set before the thread starts.
  void SetBaseline(IpHelperState state) { state_ = std::move(state); }

  // From the system's threads: cheap, never blocks for long.
  void Notify() {
    {
      std::lock_guard lock(mutex_);
      pending_ = true;
    }
    wake_.notify_one();
  }

  void RequestStop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
  }

  // Lets Run start telling: the thread object is published by then, so a
  // callback that stops the source sees it.
  void Release() { released_.set_value(); }

  void Run() {
    released_.get_future().wait();
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || pending_; });
      if (stopping_) return;
      // A burst (an interface coming up brings addresses and routes) is
      // read once it went quiet.
      const auto deadline = std::chrono::steady_clock::now() + kMaxSettle;
      do {
        pending_ = false;
      } while (wake_.wait_for(lock, kSettle, [this] { return stopping_ || pending_; }) &&
               !stopping_ && std::chrono::steady_clock::now() < deadline);
      if (stopping_) return;
      lock.unlock();
      const bool changed = ReadChanged();
      lock.lock();
      if (stopping_) return;
      if (changed) {
        lock.unlock();
        callback_();
        lock.lock();
      }
    }
  }

 private:
  bool ReadChanged() {
    std::optional<IpHelperState> fresh = read_();
    if (!fresh) return true;  // cannot tell: better one needless notification than a missed one
    const bool changed = !(*fresh == state_);
    state_ = std::move(*fresh);
    return changed;
  }

  std::function<std::optional<IpHelperState>()> read_;
  Callback callback_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool pending_ = false;
  bool stopping_ = false;
  std::promise<void> released_;
  IpHelperState state_;
};

IpHelperNetworkChangeSource::IpHelperNetworkChangeSource()
    : IpHelperNetworkChangeSource(SystemIpHelperBackend()) {}

IpHelperNetworkChangeSource::IpHelperNetworkChangeSource(IpHelperBackend backend)
    : backend_(std::move(backend)) {}

IpHelperNetworkChangeSource::~IpHelperNetworkChangeSource() {
  Stop();
}

bool IpHelperNetworkChangeSource::Start(Callback callback) {
  if (started_ || !callback) return false;
  // Registered before the state is read, so nothing between the two is
  // lost: what the read already shows is simply no change when its
  // notification is looked at. A notification that arrives before the
  // thread runs is kept by the worker.
  auto worker = std::make_shared<Worker>(backend_.read, std::move(callback));
  std::weak_ptr<Worker> weak = worker;
  if (!backend_.subscribe([weak] {
        if (auto alive = weak.lock()) alive->Notify();
      })) {
    return false;
  }
  std::optional<IpHelperState> state = backend_.read();
  if (!state) {
    backend_.unsubscribe();
    return false;
  }
  worker->SetBaseline(std::move(*state));
  started_ = true;
  subscribed_ = true;
  worker_ = std::move(worker);
  thread_ = std::thread([worker = worker_] { worker->Run(); });
  worker_->Release();
  return true;
}

void IpHelperNetworkChangeSource::Stop() {
  if (subscribed_) {
    // No system callback runs past this, so none wakes a stopping worker.
    backend_.unsubscribe();
    subscribed_ = false;
  }
  if (!worker_) return;
  worker_->RequestStop();
  worker_.reset();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // stopped from the callback: the thread ends when it returns
  } else {
    thread_.join();
  }
}

}  // namespace ovplatform
