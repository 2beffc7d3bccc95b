// Internal: a process-wide "what to answer instead of the default" slot for
// the ...ForTesting overrides. Not installed.
//
// Thread-safety: Get and Set may be called from any thread.
#pragma once

#include <mutex>
#include <optional>

namespace Tav::internal {

template <typename T>
class OverrideSlot {
 public:
  std::optional<T*> Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }
  std::optional<T*> Set(std::optional<T*> value) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<T*> previous = value_;
    value_ = value;
    return previous;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<T*> value_;
};

}  // namespace Tav::internal
