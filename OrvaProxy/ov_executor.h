// ovExecutor: one worker of the multi proxy resolver's pool. It owns a runner
// of the task library ("ProxyExecutorRunner" followed by its number) and one
// synchronous resolver, and runs one ovResolveJob at a time.
//
// Job life: the coordinator calls StartJob on its runner (the origin
// runner); the job runs on the executor's runner (task "OV_Proxy_Job") and
// posts its completion back to the origin runner ("OV_Proxy_JobComplete"),
// where onJobComplete frees the executor and tells the coordinator
// (Coordinator::onExecutorIdle), which may start the next job at once.
//
// The resolver is made by the factory on the executor's own runner, by the
// first job that runs there (ovCreateResolverJob exists for that), so a slow
// factory never blocks the origin runner and the resolver is only ever used
// on the executor's thread. The factory must therefore accept calls from any
// thread.
//
// Runner names: work is keyed by the runner name (stop drops it by that key),
// so no two live executors may share a runner. Two pools both number their
// executors from 0; when "ProxyExecutorRunner<n>" is already taken, the
// executor appends "_" and a number to it.
//
// Threads: StartJob, onJobComplete and stop normally run on the origin
// runner, but every member is safe from any thread. A completion that could
// be posted to no runner runs on the executor's thread (see ovResolveJob).
//
// Lifetime: always owned through a shared pointer; posted tasks hold it
// weakly, so a destroyed executor silently drops its job. stop (also run by
// the destructor) acts once: it cancels the current job, forgets the
// coordinator, drops the queued tasks keyed by the runner name, removes the
// runner and releases the resolver and the factory. A coordinator call in
// progress on another thread is waited out first, so the coordinator may be
// destroyed as soon as stop returns; a coordinator must therefore stop its
// executors before it goes (dropping its reference is not enough while a
// completion still holds the executor). An evaluation still running keeps its
// resolver alive until it returns; the resolver is then released (after its
// uninitialize) on the executor's thread.
//
// Cancellation: ovResolveJob::cancel only suppresses the job's result; the
// executor is freed in every case.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "OrvaProxy/ov_proxy_resolver.h"
#include "OrvaProxy/ov_task_constants.h"
#include "orvatask/ovt_types.h"

namespace OVProxy {

class ovResolveJob;

class ovExecutor : public std::enable_shared_from_this<ovExecutor> {
 public:
  class Coordinator {
   public:
    // Called after the executor's job completed and it became idle, on the
    // thread that ran the completion. The coordinator may start a job on it.
    virtual void onExecutorIdle(ovExecutor& executor) = 0;
    virtual ~Coordinator() = default;
  };

  // The value every task of the executors carries.
  static constexpr uint32_t kTaskValue = kResolveTaskGroup;
  static constexpr const char* kRunnerNamePrefix = "ProxyExecutorRunner";
  static constexpr const char* kJobTaskName = "OV_Proxy_Job";

  // Creates the runner when a task manager exists and `coordinator` is set;
  // without a runner the executor refuses every job. `factory` may be null:
  // every job then answers e_resolver_not_initialized.
  ovExecutor(Coordinator* coordinator, uint32_t id,
             std::shared_ptr<ovProxyResolverFactory> factory);
  virtual ~ovExecutor();
  ovExecutor(const ovExecutor&) = delete;
  ovExecutor& operator=(const ovExecutor&) = delete;

  // Attaches `job` and posts it to the executor's runner. False, changing
  // nothing, when stopped, busy, `job` is null, there is no runner or task
  // manager, or the post is refused.
  virtual bool StartJob(std::shared_ptr<ovResolveJob> job);
  // `job` finished: frees the executor and tells the coordinator. Ignored
  // when stopped or when `job` is not the current job.
  virtual void onJobComplete(const ovResolveJob* job);
  virtual void stop();
  virtual std::shared_ptr<ovResolveJob> currentJob();
  virtual uint32_t getId() const { return id_; }
  virtual bool isIdle();
  // The resolver, once a job made it; null before, after stop, without a
  // factory or when the factory failed.
  virtual std::shared_ptr<ovProxyResolver> getResolver();

  // For jobs, on the executor's runner: the resolver, made by the factory on
  // the first call (one attempt per executor). Null when stopped, without a
  // factory or when the factory failed.
  std::shared_ptr<ovProxyResolver> acquireResolver();

  const std::string& getRunnerName() const { return runner_name_; }
  // OrvaTask::kInvalidRunnerId when the executor has no runner.
  OrvaTask::RunnerId getRunnerId() const { return runner_id_; }
  bool isStopped() const { return stopped_.load(std::memory_order_acquire); }

 private:
  void stopOnce();

  const uint32_t id_;
  std::string runner_name_;
  OrvaTask::RunnerId runner_id_ = OrvaTask::kInvalidRunnerId;
  bool name_reserved_ = false;
  std::atomic<bool> stopped_{false};

  // Held while the coordinator is called, so that stop on another thread
  // waits for the call to return before forgetting the coordinator.
  // Recursive: the coordinator may start a job or stop the executor from
  // within the call.
  std::recursive_mutex coordinator_call_mutex_;
  // Guards the fields below; never held while calling out.
  std::mutex mutex_;
  Coordinator* coordinator_;
  std::shared_ptr<ovResolveJob> current_job_;
  std::shared_ptr<ovProxyResolverFactory> factory_;
  std::shared_ptr<ovProxyResolver> resolver_;
  bool resolver_attempted_ = false;
};

}  // namespace OVProxy
