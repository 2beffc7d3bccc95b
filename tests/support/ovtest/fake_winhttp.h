// FakeWinHttp: a proxy resolution service (ovplatform::WinHttpApi) completed
// by hand. Every accepted GetProxyForUrlEx is recorded; the test later
// completes it with any status, code and result, on whatever thread it
// calls from. Each call can be made to fail; open handles are counted so
// that a test sees every handle closed.
//
// Thread-safety: every member may be called from any thread; callbacks run
// outside the fake's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/winhttp/ov_winhttp_api.h"

namespace ovtest {

class FakeWinHttp : public ovplatform::WinHttpApi {
 public:
  struct Request {
    ovplatform::WinHttpHandle resolver = ovplatform::kNullHandle;
    std::string url;
    ovplatform::AutoProxyOptions options;
    uintptr_t context = 0;
    ovplatform::WinHttpStatusCallback callback = nullptr;
    uint32_t flags = 0;
    bool called_back = false;
  };
  struct Timeouts {
    int32_t resolve_ms, connect_ms, send_ms, receive_ms;
  };

  // Failure knobs.
  void FailOpen(bool fail);
  void FailSetStatusCallback(bool fail);
  void SetCreateResolverError(uint32_t error);
  // What GetProxyForUrlEx answers (kErrorIoPending by default).
  void SetGetProxyForUrlAnswer(uint32_t answer);
  void SetGetProxyResultError(uint32_t error);

  // Completes request `index` with kStatusGetProxyForUrlComplete, `error`
  // as its 4-byte status information and `result` for GetProxyResult.
  void Complete(std::size_t index, uint32_t error, ovplatform::ProxyResult result = {});
  // Calls request `index`'s callback with anything.
  void Callback(std::size_t index, uint32_t status, const void* info, uint32_t length);
  // Ends every request not yet called back with kStatusRequestError, as the
  // service does when it goes away (their contexts are freed by the
  // callback).
  void FinishOutstanding();

  std::size_t requestCount() const;
  Request request(std::size_t index) const;
  std::optional<Timeouts> timeouts() const;
  uint32_t callbackFlags() const;
  // Resolver handles created and not closed.
  std::size_t openResolverHandles() const;
  std::size_t openSessions() const;

  ovplatform::WinHttpHandle Open(bool async) override;
  bool SetStatusCallback(ovplatform::WinHttpHandle session,
                         ovplatform::WinHttpStatusCallback callback, uint32_t flags) override;
  bool SetTimeouts(ovplatform::WinHttpHandle session, int32_t resolve_ms, int32_t connect_ms,
                   int32_t send_ms, int32_t receive_ms) override;
  uint32_t CreateProxyResolver(ovplatform::WinHttpHandle session,
                               ovplatform::WinHttpHandle* resolver) override;
  uint32_t GetProxyForUrlEx(ovplatform::WinHttpHandle resolver, const std::string& url,
                            const ovplatform::AutoProxyOptions& options,
                            uintptr_t context) override;
  uint32_t GetProxyResult(ovplatform::WinHttpHandle resolver,
                          ovplatform::ProxyResult* result) override;
  void FreeProxyResult(ovplatform::ProxyResult* result) override;
  bool CloseHandle(ovplatform::WinHttpHandle handle) override;

 private:
  mutable std::mutex mutex_;
  bool fail_open_ = false;
  bool fail_callback_ = false;
  uint32_t create_error_ = ovplatform::kErrorSuccess;
  uint32_t get_proxy_answer_ = ovplatform::kErrorIoPending;
  uint32_t result_error_ = ovplatform::kErrorSuccess;
  ovplatform::WinHttpHandle next_ = 1;
  std::set<ovplatform::WinHttpHandle> sessions_;
  std::set<ovplatform::WinHttpHandle> resolvers_;
  ovplatform::WinHttpStatusCallback callback_ = nullptr;
  uint32_t flags_ = 0;
  std::optional<Timeouts> timeouts_;
  std::vector<Request> requests_;
  std::vector<ovplatform::ProxyResult> results_;  // by request index
};

}  // namespace ovtest
