// ovPKResolver ("PKResolver"): races two asynchronous resolvers for each
// request, the system-shaped resolver (ovWinHttpAsyncResolver, kind 0) and
// the multi proxy resolver evaluating the PAC script in process (kind 1),
// and answers with the first success. It is the delegate of both halves.
//
// Per request (PKRequestState): 0 both halves running; 1 only one started;
// 3 one failed, waiting for the other; 5 a DNS-blind in-process answer held
// while the system-shaped half runs; 2 and 4 answered with success or
// failure. The first success wins and the slower half is cancelled; a
// failure is held back until the other half answered, so one success beats
// one failure in either order; two failures deliver the second (its code
// and kind). A success of the in-process half whose script asked DNS that
// engine cannot answer (ovProxyInfo::dns_blind) counts as a failure while
// the system-shaped half, which looks names up, still runs: state 5 holds
// it until that half answers, and it is delivered when that half fails or
// has not answered within kDnsBlindHold (a download of its own may keep it
// for seconds; the caller then gets the held answer, not a time-out). Each
// request is delivered at most once, with the answering half's kind.
//
// resolve: e_pending, e_not_initialized before initialize, or
// e_resolve_failed when neither half started (no callback follows). A half
// that is absent (its set-up failed) counts as not started.
//
// Threads: no lock. resolve, the cancel operations and both halves'
// completions run on the runner that called resolve (the resolve service's);
// the end of a hold is posted there (no hold ends by time where the
// completion came on a thread that is no runner).
// Lifetime: the delegate may destroy this resolver from within
// onResolveComplete; nothing of it is touched after the delegate call.
// Cancellation: cancelRequest and cancelAllRequests cancel in both halves
// and forget the requests; nothing is delivered for them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "OrvaProxy/ov_proxy_resolver.h"

namespace OVProxy {

class ovPKResolver : public ovProxyAsyncResolver, public ovProxyResolverDelegate {
 public:
  // Makes the system-shaped half.
  using WinHttpHalfMaker = std::function<std::unique_ptr<ovProxyAsyncResolver>()>;
  // Makes the in-process half, whose executors use `factory` for their
  // synchronous resolvers.
  using MultiHalfMaker = std::function<std::unique_ptr<ovProxyAsyncResolver>(
      std::shared_ptr<ovProxyResolverFactory> factory)>;

  // The longest an answer made without DNS waits for the system-shaped
  // half: that half's evaluation bound (2 s) and a margin.
  static constexpr std::chrono::milliseconds kDnsBlindHold{2500};

  struct PKRequestState {
    std::string request_id;
    int32_t state = 0;
    // The DNS-blind in-process answer of state 5.
    std::shared_ptr<ovProxyInfo> held;
  };

  // The halves of the module: createWinHttpAsyncResolver and an
  // ovMultiProxyResolverFactory over an ovWinetSyncProxyResolverFactory.
  ovPKResolver();
  ovPKResolver(WinHttpHalfMaker makeWinHttp, MultiHalfMaker makeMulti);
  ~ovPKResolver() override;
  ovPKResolver(const ovPKResolver&) = delete;
  ovPKResolver& operator=(const ovPKResolver&) = delete;

  // Always e_success, even when neither half could be set up.
  eErrorCode initialize() override;
  eErrorCode uninitialize() override;
  eErrorCode resolve(const std::string& requestId, const std::string& url, const std::string& extra,
                     std::shared_ptr<ovProxyConfig> config, ovProxyInfo& result) override;
  std::string getName() override { return "PKResolver"; }
  // Both halves exist and are available.
  bool isAvailable() override;
  eErrorCode cancelRequest(const std::string& requestId) override;
  void cancelAllRequests() override;
  void setDelegate(ovProxyResolverDelegate* delegate) override { delegate_ = delegate; }
  ovProxyResolverDelegate* getDelegate() override { return delegate_; }

  void onResolveComplete(const std::string& requestId, std::shared_ptr<ovProxyInfo> result,
                         eErrorCode error, uint32_t resolverKind) override;

  // Outstanding requests.
  std::size_t requestCount() const { return requests_.size(); }

 private:
  void cancelOtherHalf(const std::string& requestId, uint32_t answeringKind);
  // Ends the hold of `request` (still in state 5) at kDnsBlindHold.
  void scheduleHoldEnd(const std::shared_ptr<PKRequestState>& request);
  void endHold(PKRequestState& request);
  void deliver(const std::string& requestId, std::shared_ptr<ovProxyInfo> result, eErrorCode error,
               uint32_t resolverKind);

  const WinHttpHalfMaker make_winhttp_;
  const MultiHalfMaker make_multi_;
  std::unique_ptr<ovProxyAsyncResolver> winhttp_;
  std::unique_ptr<ovProxyAsyncResolver> multi_;
  std::shared_ptr<ovProxyResolverFactory> factory_;
  ovProxyResolverDelegate* delegate_ = nullptr;
  std::map<std::string, std::shared_ptr<PKRequestState>> requests_;
  bool initialized_ = false;
  // Posted hold ends hold it weakly: they do nothing once this resolver went.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace OVProxy
