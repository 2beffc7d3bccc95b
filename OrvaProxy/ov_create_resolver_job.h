// ovCreateResolverJob: the first job of a new executor. On the executor's
// runner it has the executor make its resolver (ovExecutor::acquireResolver),
// then completes, which makes the executor idle and lets its coordinator
// hand it queued work. Its request id is "create_resolver_" followed by the
// executor's number.
//
// Thread, lifetime and cancellation as ovResolveJob; a cancelled job skips
// the resolver and still completes.
#pragma once

#include <string>

#include "OrvaProxy/ov_resolve_job.h"

namespace OVProxy {

class ovCreateResolverJob : public ovResolveJob {
 public:
  static constexpr const char* kRequestIdPrefix = "create_resolver_";

  explicit ovCreateResolverJob(std::string requestId);
  ~ovCreateResolverJob() override;

  void Run(const std::string& originRunner) override;
};

}  // namespace OVProxy
