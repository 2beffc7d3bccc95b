#include "OrvaProxy/oPACParser/js_interrupt.h"

namespace OVProxy {
namespace {

// A plain pointer: trivially destructible, so safe on threads that end
// during process exit.
thread_local const std::atomic<bool>* t_interrupt = nullptr;

}  // namespace

js_interrupt_scope::js_interrupt_scope(const std::atomic<bool>* flag) : previous_(t_interrupt) {
  t_interrupt = flag;
}

js_interrupt_scope::~js_interrupt_scope() {
  t_interrupt = previous_;
}

const std::atomic<bool>* js_current_interrupt() {
  return t_interrupt;
}

}  // namespace OVProxy
