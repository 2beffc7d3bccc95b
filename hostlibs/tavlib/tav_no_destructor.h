// Tav::NoDestructor<T>: a process-wide object that is constructed on first
// use and never destroyed.
//
// For registries and stores that any thread may still reach while the
// process exits (a report from a runner being shut down, an observer
// unsubscribing from a destructor of another static): such a caller finds a
// living object instead of a destroyed one. The object's memory stays
// reachable from static storage, so leak checkers do not report it. Only
// for objects whose destructor has nothing to flush.
//
// Use as a function-local static: `static Tav::NoDestructor<Registry> r;`
// (the runtime makes the first construction thread-safe).
#pragma once

#include <memory>
#include <new>
#include <utility>

namespace Tav {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    std::construct_at(reinterpret_cast<T*>(storage_), std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  ~NoDestructor() = default;

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() { return get(); }
  T& operator*() { return *get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace Tav
