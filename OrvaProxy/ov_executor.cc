#include "OrvaProxy/ov_executor.h"

#include <set>
#include <utility>

#include "OrvaProxy/ov_resolve_job.h"
#include "orvatask/orva_task.h"
#include "tavlib/tav_no_destructor.h"

namespace OVProxy {
namespace {

// The runner names held by live executors in the process. Every pool numbers
// its executors from 0, and posted work is keyed by the runner name, so two
// pools must never end up on the same runner (CreateRunner answers the
// existing runner for a name in use).
class RunnerNameRegistry {
 public:
  std::string Reserve(uint32_t id, OrvaTask::IOVTManager& manager) {
    const std::string base = ovExecutor::kRunnerNamePrefix + std::to_string(id);
    std::lock_guard lock(mutex_);
    std::string name = base;
    for (uint32_t suffix = 1;
         names_.count(name) != 0 || manager.GetRunnerId(name) != OrvaTask::kInvalidRunnerId;
         ++suffix) {
      name = base + "_" + std::to_string(suffix);
    }
    names_.insert(name);
    return name;
  }

  void Release(const std::string& name) {
    std::lock_guard lock(mutex_);
    names_.erase(name);
  }

 private:
  std::mutex mutex_;
  std::set<std::string> names_;
};

RunnerNameRegistry& Registry() {
  static Tav::NoDestructor<RunnerNameRegistry> registry;
  return *registry;
}

// The resolver's owner: uninitialize precedes destruction, on whichever
// thread lets go of it last.
std::shared_ptr<ovProxyResolver> Share(std::unique_ptr<ovProxyResolver> resolver) {
  if (!resolver) return nullptr;
  return std::shared_ptr<ovProxyResolver>(resolver.release(), [](ovProxyResolver* raw) {
    std::unique_ptr<ovProxyResolver> owned(raw);
    owned->uninitialize();
  });
}

}  // namespace

ovExecutor::ovExecutor(Coordinator* coordinator, uint32_t id,
                       std::shared_ptr<ovProxyResolverFactory> factory)
    : id_(id),
      runner_name_(kRunnerNamePrefix + std::to_string(id)),
      coordinator_(coordinator),
      factory_(std::move(factory)) {
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  if (!manager || !coordinator_) return;
  runner_name_ = Registry().Reserve(id_, *manager);
  name_reserved_ = true;
  runner_id_ = manager->CreateRunner(runner_name_, kTaskValue);
}

ovExecutor::~ovExecutor() {
  stopOnce();
}

bool ovExecutor::StartJob(std::shared_ptr<ovResolveJob> job) {
  if (!job || isStopped() || runner_id_ == OrvaTask::kInvalidRunnerId) return false;
  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  std::weak_ptr<ovExecutor> weak_self = weak_from_this();
  // Not owned by a shared pointer: the posted task could never find it.
  if (!manager || weak_self.expired()) return false;
  {
    std::lock_guard lock(mutex_);
    if (isStopped() || current_job_) return false;
    current_job_ = job;
  }
  job->setExecutor(weak_self);

  std::string origin = job->getCreatorRunner();
  if (origin.empty()) origin = OrvaTask::GetRunnerNameOfCurrentThread();
  if (origin.empty()) origin = OrvaTask::kMainRunnerName;

  OrvaTask::TaskPtr task =
      OrvaTask::CreateOrvaTask({.name = kJobTaskName,
                                .location = OrvaTask::SourceLocation::Current(),
                                .value = kTaskValue,
                                .unique_keys = {OrvaTask::GenerateUniqueKey(runner_name_)}},
                               [weak_self, job, origin] {
                                 const std::shared_ptr<ovExecutor> executor = weak_self.lock();
                                 if (!executor || executor->isStopped()) return;
                                 job->Run(origin);
                               });
  if (manager->PostTask(runner_id_, task)) return true;

  std::lock_guard lock(mutex_);
  if (current_job_ == job) current_job_.reset();
  return false;
}

void ovExecutor::onJobComplete(const ovResolveJob* job) {
  std::lock_guard call_lock(coordinator_call_mutex_);
  std::shared_ptr<ovResolveJob> finished;  // released after the call
  Coordinator* coordinator = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (isStopped() || !job || current_job_.get() != job) return;
    finished = std::move(current_job_);
    coordinator = coordinator_;
  }
  if (coordinator) coordinator->onExecutorIdle(*this);
}

void ovExecutor::stop() {
  stopOnce();
}

void ovExecutor::stopOnce() {
  if (stopped_.exchange(true, std::memory_order_acq_rel)) return;
  std::shared_ptr<ovResolveJob> job;
  std::shared_ptr<ovProxyResolver> resolver;
  std::shared_ptr<ovProxyResolverFactory> factory;
  {
    std::lock_guard call_lock(coordinator_call_mutex_);
    std::lock_guard lock(mutex_);
    job = std::move(current_job_);
    coordinator_ = nullptr;
    resolver = std::move(resolver_);
    factory = std::move(factory_);
  }
  if (job) job->cancel();
  if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
    manager->CancelTasksByUniqueKey(OrvaTask::GenerateUniqueKey(runner_name_));
    if (runner_id_ != OrvaTask::kInvalidRunnerId) manager->RemoveRunner(runner_id_);
  }
  if (name_reserved_) Registry().Release(runner_name_);
  // `resolver` goes here unless an evaluation still holds it.
}

std::shared_ptr<ovResolveJob> ovExecutor::currentJob() {
  std::lock_guard lock(mutex_);
  return current_job_;
}

bool ovExecutor::isIdle() {
  std::lock_guard lock(mutex_);
  return !current_job_;
}

std::shared_ptr<ovProxyResolver> ovExecutor::getResolver() {
  std::lock_guard lock(mutex_);
  return resolver_;
}

std::shared_ptr<ovProxyResolver> ovExecutor::acquireResolver() {
  std::shared_ptr<ovProxyResolverFactory> factory;
  {
    std::lock_guard lock(mutex_);
    if (isStopped()) return nullptr;
    if (resolver_attempted_) return resolver_;
    resolver_attempted_ = true;
    factory = factory_;
  }
  if (!factory) return nullptr;
  // Outside the lock: a factory may take its time.
  std::shared_ptr<ovProxyResolver> made = Share(factory->createResolver());
  std::lock_guard lock(mutex_);
  // Stopped meanwhile: `made` is released on this thread, unused.
  if (isStopped()) return nullptr;
  resolver_ = made;
  return made;
}

}  // namespace OVProxy
