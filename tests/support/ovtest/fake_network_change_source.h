// FakeNetworkChange: stands in for the system's network-change source. While
// an instance lives, CreateNetworkChangeSource() hands out sources tied to it;
// Fire() tells every started, not yet stopped source "the network changed",
// on the calling thread, as if the system had.
//
// Thread-safety: Fire and the sources' Start/Stop may be called from any
// thread; a Stop that races a Fire waits for that Fire's callbacks to end
// (the real source's promise). Declare it before the code under test so that
// it outlives every source it handed out.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/netchange/ov_network_change_source.h"

namespace ovtest {

class FakeNetworkChange {
 public:
  FakeNetworkChange() : shared_(std::make_shared<Shared>()) {
    ovplatform::OverrideNetworkChangeSourceForTesting(
        [shared = shared_]() -> std::unique_ptr<ovplatform::NetworkChangeSource> {
          return std::make_unique<Source>(shared);
        });
  }
  ~FakeNetworkChange() { ovplatform::OverrideNetworkChangeSourceForTesting({}); }
  FakeNetworkChange(const FakeNetworkChange&) = delete;
  FakeNetworkChange& operator=(const FakeNetworkChange&) = delete;

  // Calls the callback of every started source once. Returns how many.
  int Fire() {
    std::lock_guard<std::recursive_mutex> lock(shared_->mutex);
    const auto callbacks = shared_->callbacks;  // a callback may stop its source
    int told = 0;
    for (const auto& [id, callback] : callbacks) {
      if (shared_->callbacks.count(id) == 0) continue;
      callback();
      ++told;
    }
    return told;
  }

  // Sources started and not stopped.
  size_t active() const {
    std::lock_guard<std::recursive_mutex> lock(shared_->mutex);
    return shared_->callbacks.size();
  }

 private:
  struct Shared {
    mutable std::recursive_mutex mutex;
    std::map<int, ovplatform::NetworkChangeSource::Callback> callbacks;
    int nextId = 0;
  };

  class Source final : public ovplatform::NetworkChangeSource {
   public:
    explicit Source(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    ~Source() override { Stop(); }
    bool Start(Callback callback) override {
      std::lock_guard<std::recursive_mutex> lock(shared_->mutex);
      if (id_ != 0 || !callback) return false;
      id_ = ++shared_->nextId;
      shared_->callbacks.emplace(id_, std::move(callback));
      return true;
    }
    void Stop() override {
      std::lock_guard<std::recursive_mutex> lock(shared_->mutex);
      shared_->callbacks.erase(id_);
    }

   private:
    std::shared_ptr<Shared> shared_;
    int id_ = 0;
  };

  std::shared_ptr<Shared> shared_;
};

}  // namespace ovtest
