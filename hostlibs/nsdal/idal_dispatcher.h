// Field listeners of a data-access-layer mode: whoever holds a mode object
// registers a callable under a key (the mode id) and hears the field id of
// every message another process sent for that mode.
//
// TDALDispatcher_Impl<T> is the reusable dispatcher: it derives from the
// mode's interface T and keeps its own listener map under its own lock.
//
// Thread: every operation may be called from any thread. Listeners run on
// the thread that dispatches (the bus's receive thread), under the
// dispatcher's lock; the lock is recursive, so a listener may add or remove
// listeners itself. removeFieldListener returns only when the removed
// listener no longer runs on another thread.
// Lifetime: a listener must stay callable until it was removed or the
// dispatcher is gone.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ns_dal {

using FieldListener = std::function<void(const std::string& field_id)>;

class IDALDispatcher {
 public:
  virtual ~IDALDispatcher() = default;
  // A non-zero listener id, or 0 when nothing was registered (empty key or
  // callable; the callable is released then).
  virtual int32_t addFieldListener(const std::string& key, FieldListener listener) = 0;
  // 1 when a listener with that id was registered under `key`, else 0.
  virtual int32_t removeFieldListener(const std::string& key, int32_t listener_id) = 0;
};

template <class T>
class TDALDispatcher_Impl : public T, public IDALDispatcher {
 public:
  int32_t addFieldListener(const std::string& key, FieldListener listener) override {
    if (key.empty() || !listener) return 0;
    std::lock_guard lock(listener_mutex_);
    const int32_t id = ++last_listener_id_;
    listeners_[key].emplace(id, std::move(listener));
    return id;
  }

  int32_t removeFieldListener(const std::string& key, int32_t listener_id) override {
    std::lock_guard lock(listener_mutex_);
    auto found = listeners_.find(key);
    if (found == listeners_.end() || found->second.erase(listener_id) == 0) return 0;
    if (found->second.empty()) listeners_.erase(found);
    return 1;
  }

 protected:
  // Calls every listener registered under `key` with `field_id`.
  void DispatchFieldChanged(const std::string& key, const std::string& field_id) {
    std::lock_guard lock(listener_mutex_);
    auto found = listeners_.find(key);
    if (found == listeners_.end()) return;
    // A listener may remove itself or others; walk a list of ids.
    std::vector<int32_t> ids;
    for (const auto& entry : found->second) ids.push_back(entry.first);
    for (int32_t id : ids) {
      auto map = listeners_.find(key);
      if (map == listeners_.end()) return;
      auto listener = map->second.find(id);
      if (listener == map->second.end()) continue;
      FieldListener call = listener->second;
      call(field_id);
    }
  }

 private:
  std::recursive_mutex listener_mutex_;
  std::map<std::string, std::map<int32_t, FieldListener>> listeners_;
  int32_t last_listener_id_ = 0;
};

}  // namespace ns_dal
