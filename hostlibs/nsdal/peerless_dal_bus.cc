#include "nsdal/peerless_dal_bus.h"

#include <mutex>
#include <optional>
#include <utility>

#include "nsdal/dal_runner.h"

namespace ns_dal {

struct PeerlessDalBus::Core {
  // Held while a callback runs, so that SetDelegate(nullptr) waits it out.
  std::mutex delegate_mutex;
  IDALBusDelegate* delegate = nullptr;

  mutable std::mutex stats_mutex;
  Stats stats;

  void AnswerNoPeer(const std::string& mode_id) {
    {
      std::lock_guard lock(stats_mutex);
      ++stats.snapshots_answered;
    }
    std::lock_guard lock(delegate_mutex);
    if (delegate != nullptr) delegate->OnBusSnapshot(mode_id, std::nullopt);
  }
};

PeerlessDalBus::PeerlessDalBus() : core_(std::make_shared<Core>()) {}

PeerlessDalBus::~PeerlessDalBus() {
  SetDelegate(nullptr);
}

void PeerlessDalBus::SetDelegate(IDALBusDelegate* delegate) {
  std::lock_guard lock(core_->delegate_mutex);
  core_->delegate = delegate;
}

void PeerlessDalBus::Publish(const std::string& mode_id, const std::string& field_id,
                             const std::string& text, int32_t target) {
  (void)mode_id;
  (void)field_id;
  (void)text;
  (void)target;
  std::lock_guard lock(core_->stats_mutex);
  ++core_->stats.messages_dropped;
}

void PeerlessDalBus::RequestSnapshot(const std::string& mode_id) {
  std::weak_ptr<Core> weak = core_;
  if (PostToDalRunner("DalPeerlessSnapshot", [weak, mode_id] {
        if (auto core = weak.lock()) core->AnswerNoPeer(mode_id);
      })) {
    return;
  }
  core_->AnswerNoPeer(mode_id);
}

PeerlessDalBus::Stats PeerlessDalBus::stats() const {
  std::lock_guard lock(core_->stats_mutex);
  return core_->stats;
}

}  // namespace ns_dal
