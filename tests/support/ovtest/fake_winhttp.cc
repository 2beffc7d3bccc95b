#include "ovtest/fake_winhttp.h"

#include <utility>

namespace ovtest {

using ovplatform::WinHttpHandle;

void FakeWinHttp::FailOpen(bool fail) {
  std::lock_guard lock(mutex_);
  fail_open_ = fail;
}
void FakeWinHttp::FailSetStatusCallback(bool fail) {
  std::lock_guard lock(mutex_);
  fail_callback_ = fail;
}
void FakeWinHttp::SetCreateResolverError(uint32_t error) {
  std::lock_guard lock(mutex_);
  create_error_ = error;
}
void FakeWinHttp::SetGetProxyForUrlAnswer(uint32_t answer) {
  std::lock_guard lock(mutex_);
  get_proxy_answer_ = answer;
}
void FakeWinHttp::SetGetProxyResultError(uint32_t error) {
  std::lock_guard lock(mutex_);
  result_error_ = error;
}

void FakeWinHttp::Complete(std::size_t index, uint32_t error, ovplatform::ProxyResult result) {
  {
    std::lock_guard lock(mutex_);
    results_.at(index) = std::move(result);
  }
  Callback(index, ovplatform::kStatusGetProxyForUrlComplete, &error, sizeof(error));
}

void FakeWinHttp::Callback(std::size_t index, uint32_t status, const void* info, uint32_t length) {
  Request call;
  {
    std::lock_guard lock(mutex_);
    requests_.at(index).called_back = true;
    call = requests_[index];
  }
  if (call.callback) call.callback(call.resolver, call.context, status, info, length);
}

void FakeWinHttp::FinishOutstanding() {
  for (std::size_t i = 0; i < requestCount(); ++i) {
    if (request(i).called_back) continue;
    const ovplatform::AsyncResult cancelled{1, ovplatform::kErrorOperationCancelled};
    Callback(i, ovplatform::kStatusRequestError, &cancelled, sizeof(cancelled));
  }
}

std::size_t FakeWinHttp::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}
FakeWinHttp::Request FakeWinHttp::request(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return requests_.at(index);
}
std::optional<FakeWinHttp::Timeouts> FakeWinHttp::timeouts() const {
  std::lock_guard lock(mutex_);
  return timeouts_;
}
uint32_t FakeWinHttp::callbackFlags() const {
  std::lock_guard lock(mutex_);
  return flags_;
}
std::size_t FakeWinHttp::openResolverHandles() const {
  std::lock_guard lock(mutex_);
  return resolvers_.size();
}
std::size_t FakeWinHttp::openSessions() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

WinHttpHandle FakeWinHttp::Open(bool) {
  std::lock_guard lock(mutex_);
  if (fail_open_) return ovplatform::kNullHandle;
  const WinHttpHandle handle = next_++;
  sessions_.insert(handle);
  return handle;
}

bool FakeWinHttp::SetStatusCallback(WinHttpHandle session,
                                    ovplatform::WinHttpStatusCallback callback, uint32_t flags) {
  std::lock_guard lock(mutex_);
  if (fail_callback_ || !sessions_.count(session)) return false;
  callback_ = callback;
  flags_ = flags;
  return true;
}

bool FakeWinHttp::SetTimeouts(WinHttpHandle session, int32_t resolve_ms, int32_t connect_ms,
                              int32_t send_ms, int32_t receive_ms) {
  std::lock_guard lock(mutex_);
  if (!sessions_.count(session)) return false;
  timeouts_ = Timeouts{resolve_ms, connect_ms, send_ms, receive_ms};
  return true;
}

uint32_t FakeWinHttp::CreateProxyResolver(WinHttpHandle session, WinHttpHandle* resolver) {
  std::lock_guard lock(mutex_);
  if (create_error_ != ovplatform::kErrorSuccess) return create_error_;
  if (!sessions_.count(session)) return ovplatform::kErrorInvalidHandle;
  *resolver = next_++;
  resolvers_.insert(*resolver);
  return ovplatform::kErrorSuccess;
}

uint32_t FakeWinHttp::GetProxyForUrlEx(WinHttpHandle resolver, const std::string& url,
                                       const ovplatform::AutoProxyOptions& options,
                                       uintptr_t context) {
  std::lock_guard lock(mutex_);
  if (!resolvers_.count(resolver)) return ovplatform::kErrorInvalidHandle;
  if (get_proxy_answer_ != ovplatform::kErrorIoPending) return get_proxy_answer_;
  requests_.push_back(Request{resolver, url, options, context, callback_, flags_});
  results_.emplace_back();
  return ovplatform::kErrorIoPending;
}

uint32_t FakeWinHttp::GetProxyResult(WinHttpHandle resolver, ovplatform::ProxyResult* result) {
  std::lock_guard lock(mutex_);
  if (result_error_ != ovplatform::kErrorSuccess) return result_error_;
  for (std::size_t i = requests_.size(); i-- > 0;) {
    if (requests_[i].resolver == resolver) {
      *result = results_[i];
      return ovplatform::kErrorSuccess;
    }
  }
  return ovplatform::kErrorInvalidHandle;
}

void FakeWinHttp::FreeProxyResult(ovplatform::ProxyResult* result) {
  result->entries.clear();
}

bool FakeWinHttp::CloseHandle(WinHttpHandle handle) {
  std::lock_guard lock(mutex_);
  return sessions_.erase(handle) > 0 || resolvers_.erase(handle) > 0;
}

}  // namespace ovtest
