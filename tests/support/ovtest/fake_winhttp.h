// FakeWinHttp: a proxy resolution service (ovplatform::WinHttpApi) completed
// by hand: every accepted GetProxyForUrlEx is recorded for the test to
// complete later. Calls can be made to fail; open handles are counted.
// Thread-safe; callbacks run outside the fake's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/winhttp/ov_winhttp_api.h"

namespace ovtest {

class FakeWinHttp : public ovplatform::WinHttpApi {
 public:
  using Handle = ovplatform::WinHttpHandle;
  struct Knobs {
    bool fail_open = false, fail_set_callback = false;
    uint32_t create_error = ovplatform::kErrorSuccess, result_error = ovplatform::kErrorSuccess;
    uint32_t get_proxy_answer = ovplatform::kErrorIoPending;  // accepted
  };
  void Set(const Knobs& knobs) {
    Locked([&] { knobs_ = knobs; });
  }

  // Completes request `index` with kStatusGetProxyForUrlComplete, `error` as
  // its status information and `result` for GetProxyResult.
  void Complete(std::size_t index, uint32_t error, ovplatform::ProxyResult result = {}) {
    Locked([&] { requests_.at(index).result = std::move(result); });
    Callback(index, ovplatform::kStatusGetProxyForUrlComplete, &error, sizeof(error));
  }
  void Callback(std::size_t index, uint32_t status, const void* info, uint32_t length) {
    Request call;
    Locked([&] {
      requests_.at(index).called_back = true;
      call = requests_[index];
    });
    if (call.callback) call.callback(call.resolver, call.context, status, info, length);
  }
  // Ends every request not yet called back with a cancellation, as the
  // service does when it goes away (the callback frees their contexts).
  void FinishOutstanding() {
    const ovplatform::AsyncResult cancelled{1, ovplatform::kErrorOperationCancelled};
    const std::size_t count = Locked([&] { return requests_.size(); });
    for (std::size_t i = 0; i < count; ++i) {
      if (!Locked([&] { return requests_[i].called_back; }))
        Callback(i, ovplatform::kStatusRequestError, &cancelled, sizeof(cancelled));
    }
  }
  std::size_t openResolverHandles() const {
    return Locked([&] { return resolvers_.size(); });
  }
  std::size_t openSessions() const {
    return Locked([&] { return sessions_.size(); });
  }

  Handle Open(bool) override {
    return Locked([&] {
      if (knobs_.fail_open) return ovplatform::kNullHandle;
      sessions_.insert(next_);
      return next_++;
    });
  }
  bool SetStatusCallback(Handle session, ovplatform::WinHttpStatusCallback callback,
                         uint32_t) override {
    return Locked([&] {
      if (knobs_.fail_set_callback || !sessions_.count(session)) return false;
      callback_ = callback;
      return true;
    });
  }
  bool SetTimeouts(Handle session, int32_t, int32_t, int32_t, int32_t) override {
    return Locked([&] { return sessions_.count(session) != 0; });
  }
  uint32_t CreateProxyResolver(Handle session, Handle* resolver) override {
    return Locked([&] {
      if (knobs_.create_error != ovplatform::kErrorSuccess) return knobs_.create_error;
      if (!sessions_.count(session)) return ovplatform::kErrorInvalidHandle;
      resolvers_.insert(*resolver = next_++);
      return ovplatform::kErrorSuccess;
    });
  }
  uint32_t GetProxyForUrlEx(Handle resolver, const std::string&,
                            const ovplatform::AutoProxyOptions&, uintptr_t context) override {
    return Locked([&] {
      if (!resolvers_.count(resolver)) return ovplatform::kErrorInvalidHandle;
      if (knobs_.get_proxy_answer == ovplatform::kErrorIoPending)
        requests_.push_back(Request{resolver, context, callback_});
      return knobs_.get_proxy_answer;
    });
  }
  uint32_t GetProxyResult(Handle resolver, ovplatform::ProxyResult* result) override {
    return Locked([&] {
      if (knobs_.result_error != ovplatform::kErrorSuccess) return knobs_.result_error;
      for (std::size_t i = requests_.size(); i-- > 0;) {
        if (requests_[i].resolver != resolver) continue;
        *result = requests_[i].result;
        return ovplatform::kErrorSuccess;
      }
      return ovplatform::kErrorInvalidHandle;
    });
  }
  void FreeProxyResult(ovplatform::ProxyResult* result) override { result->entries.clear(); }
  bool CloseHandle(Handle handle) override {
    return Locked([&] {
      const bool known = sessions_.erase(handle) > 0 || resolvers_.erase(handle) > 0;
      if (!known) ++unknown_closes_;
      return known;
    });
  }
  // Closes of handles that were not open (closed twice, or never opened).
  std::size_t unknownCloses() const {
    return Locked([&] { return unknown_closes_; });
  }

 private:
  struct Request {
    Handle resolver = ovplatform::kNullHandle;
    uintptr_t context = 0;
    ovplatform::WinHttpStatusCallback callback = nullptr;
    bool called_back = false;
    ovplatform::ProxyResult result;
  };
  template <typename F>
  auto Locked(F f) const -> decltype(f()) {
    std::lock_guard lock(mutex_);
    return f();
  }

  mutable std::mutex mutex_;
  Knobs knobs_;
  Handle next_ = 1;
  std::set<Handle> sessions_, resolvers_;
  std::size_t unknown_closes_ = 0;
  ovplatform::WinHttpStatusCallback callback_ = nullptr;
  std::vector<Request> requests_;
};

}  // namespace ovtest
