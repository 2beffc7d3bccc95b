// js_interrupt_scope: lets whoever starts evaluations on a thread stop them
// from another thread.
//
// While a scope lives on a thread, every PAC evaluation that thread starts
// watches `flag`: once it is set, an evaluation waiting for the engine does
// not start, and one running stops at the engine's next time check (within
// milliseconds, also inside native built-ins; the Windows engine looks every
// 25 ms and interrupts the script where the engine can be interrupted).
// Either fails with status 999 and stage js_stage_t::interrupted. This is
// how tearing down the module (executors stopped, jobs cancelled) ends an
// evaluation in progress instead of waiting out its time bound.
//
// Thread: a scope belongs to the thread that made it; scopes nest, the inner
// one replacing the outer until it ends. `flag` may be set from any thread
// and must outlive the scope.
#pragma once

#include <atomic>

namespace OVProxy {

class js_interrupt_scope {
 public:
  explicit js_interrupt_scope(const std::atomic<bool>* flag);
  ~js_interrupt_scope();
  js_interrupt_scope(const js_interrupt_scope&) = delete;
  js_interrupt_scope& operator=(const js_interrupt_scope&) = delete;

 private:
  const std::atomic<bool>* previous_;
};

// The flag of the calling thread's innermost scope; null without one.
const std::atomic<bool>* js_current_interrupt();

// Whether the calling thread's evaluations are to stop.
inline bool js_interrupt_requested() {
  const std::atomic<bool>* flag = js_current_interrupt();
  return flag != nullptr && flag->load(std::memory_order_acquire);
}

}  // namespace OVProxy
