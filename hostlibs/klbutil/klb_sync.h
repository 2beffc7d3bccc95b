// Locking helpers of the utility library layer.
//
// - thread_mutex_recursive: a recursive mutex that also tells how many
//   threads are blocked in lock() right now (for diagnostics and for tests
//   that must know a thread is waiting without sleeping).
// - no_copy_T<T>: a base that makes T neither copyable nor movable.
// - safe_class<T, Mutex>: one mutex for the whole class T, shared by every
//   instance and every thread. It is constructed with the module's static
//   objects (before any code of the module runs) and destroyed with them.
//   lock_t holds it for a scope.
//
// Thread-safety: all operations may be called from any thread.
#pragma once

#include <atomic>
#include <mutex>

namespace klb {

class thread_mutex_recursive {
 public:
  thread_mutex_recursive() = default;
  thread_mutex_recursive(const thread_mutex_recursive&) = delete;
  thread_mutex_recursive& operator=(const thread_mutex_recursive&) = delete;

  void lock() {
    if (mutex_.try_lock()) return;
    waiting_.fetch_add(1, std::memory_order_acq_rel);
    mutex_.lock();
    waiting_.fetch_sub(1, std::memory_order_acq_rel);
  }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

  // Threads blocked in lock() at this moment.
  int waiting() const { return waiting_.load(std::memory_order_acquire); }

 private:
  std::recursive_mutex mutex_;
  std::atomic<int> waiting_{0};
};

template <class T>
class no_copy_T {
 protected:
  no_copy_T() = default;
  ~no_copy_T() = default;

 public:
  no_copy_T(const no_copy_T&) = delete;
  no_copy_T& operator=(const no_copy_T&) = delete;
};

template <class T, class Mutex>
class safe_class {
 public:
  class lock_t {
   public:
    lock_t() { class_mutex().lock(); }
    ~lock_t() { class_mutex().unlock(); }
    lock_t(const lock_t&) = delete;
    lock_t& operator=(const lock_t&) = delete;
  };

  static Mutex& class_mutex() { return mutex_; }

 protected:
  safe_class() = default;
  ~safe_class() = default;

 private:
  static inline Mutex mutex_;
};

}  // namespace klb
