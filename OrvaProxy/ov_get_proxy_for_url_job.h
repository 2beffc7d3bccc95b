// ovGetProxyForURLJob: resolves one URL with the executor's synchronous
// resolver, on the executor's runner, and hands (error, answer, request id)
// to its callback on the origin runner.
//
// Answers: the resolver's code and answer; e_resolver_not_initialized when
// the executor is gone or has no resolver; e_invalid_argument without a
// configuration (the resolver is not called).
//
// Thread, lifetime and cancellation as ovResolveJob: a job cancelled before
// or during its resolution never calls its callback, but its completion
// still frees the executor. The callback is called at most once and released
// right after.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "OrvaProxy/ov_resolve_job.h"

namespace OVProxy {

using JobCallback =
    std::function<void(eErrorCode error, const ovProxyInfo& info, const std::string& requestId)>;

class ovGetProxyForURLJob : public ovResolveJob {
 public:
  ovGetProxyForURLJob(std::string requestId, std::string url, std::string extra,
                      std::shared_ptr<ovProxyConfig> config, JobCallback callback);
  ~ovGetProxyForURLJob() override;

  void Run(const std::string& originRunner) override;
  void fail(eErrorCode error) override { complete(error, ovProxyInfo()); }
  // On the origin runner: the callback (unless cancelled), then
  // notifyJobDone.
  void complete(eErrorCode error, const ovProxyInfo& info);

  const std::string& getUrl() const { return url_; }
  const std::string& getExtra() const { return extra_; }
  const std::shared_ptr<ovProxyConfig>& getConfig() const { return config_; }

 private:
  const std::string url_;
  const std::string extra_;
  const std::shared_ptr<ovProxyConfig> config_;
  JobCallback callback_;
};

}  // namespace OVProxy
