#include "ovproxy_resolve_road.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "OrvaProxy/ov_proxy_resolve_controller.h"
#include "OrvaProxy/ov_proxy_resolve_task.h"
#include "OrvaProxy/ov_task_constants.h"
#include "onetxfer/onet_module.h"
#include "orvatask/orva_task.h"

namespace ovproxy {
namespace {

using OVProxy::eErrorCode;
using OVProxy::ovProxyInfo;

// Collects the answers delivered on the resolve runner; the caller waits.
// Shared with the callbacks, so a delivery that comes late finds it alive.
class Answers {
 public:
  explicit Answers(std::size_t count) : answers_(count) {}

  OVProxy::ResolveCallback callbackFor(std::size_t index, std::shared_ptr<Answers> self) {
    return [self = std::move(self), index](const std::string&, const ovProxyInfo& answer,
                                           eErrorCode error) {
      std::lock_guard lock(self->mutex_);
      RoadAnswer& slot = self->answers_[index];
      if (slot.answered) return;
      slot = RoadAnswer{true, answer, error};
      ++self->done_;
      self->changed_.notify_all();
    };
  }

  void waitForAll(std::chrono::steady_clock::duration limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [this] { return done_ == answers_.size(); });
  }

  std::vector<RoadAnswer> take() {
    std::lock_guard lock(mutex_);
    return answers_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RoadAnswer> answers_;
  std::size_t done_ = 0;
};

// Runs `work` on the resolve runner and waits for it; false when the runner
// refused it.
bool RunOnResolveRunner(OrvaTask::IOVTManager& manager, std::function<void()> work) {
  auto task = OrvaTask::CreateOrvaTask({.name = "ovproxy_resolve",
                                        .location = OrvaTask::SourceLocation::Current(),
                                        .value = OVProxy::kResolveTaskGroup},
                                       std::move(work));
  return manager.PostTask(OVProxy::kResolveRunnerName, task) && manager.WaitForTask(task);
}

}  // namespace

std::vector<RoadAnswer> ResolveThroughController(std::shared_ptr<OVProxy::ovProxyConfig> config,
                                                 const std::vector<std::string>& urls) {
  auto answers = std::make_shared<Answers>(urls.size());
  // PAC files download through the host's transfer module, which the tool
  // hosts itself.
  std::optional<oXfer::ScopedONetModule> transfer;
  if (config->HasAutomaticSettings()) transfer.emplace();

  std::unique_ptr<OVProxy::ovProxyResolveController> controller;
  auto start = [&] {
    controller = std::make_unique<OVProxy::ovProxyResolveController>();
    controller->decider().prepareRunners(OrvaTask::GetRunnerNameOfCurrentThread());
    for (std::size_t i = 0; i < urls.size(); ++i) {
      controller->addTask(std::make_shared<OVProxy::ovProxyResolveTask>(
          "ovproxy-" + std::to_string(i + 1), urls[i], "", answers->callbackFor(i, answers), config,
          0));
    }
  };
  // Nothing is answered after this: cancelled tasks get no callback.
  auto finish = [&] {
    if (!controller) return;
    controller->cancelAllTasks();
    controller->decider().releaseRunners();
    controller.reset();
  };

  OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager();
  const bool existed =
      manager && manager->GetRunnerId(OVProxy::kResolveRunnerName) != OrvaTask::kInvalidRunnerId;
  if (manager && !existed &&
      manager->CreateRunner(OVProxy::kResolveRunnerName, OVProxy::kResolveTaskGroup) ==
          OrvaTask::kInvalidRunnerId) {
    manager = nullptr;
  }
  if (manager && RunOnResolveRunner(*manager, start)) {
    answers->waitForAll(kAnswerLimit);
    RunOnResolveRunner(*manager, finish);
    // Deliveries posted before the finish have run once this has.
    RunOnResolveRunner(*manager, [] {});
  } else {
    // No runner: the controller runs here, and deliveries run inline.
    start();
    finish();
  }
  if (manager && !existed) manager->RemoveRunner(OVProxy::kResolveRunnerName);
  return answers->take();
}

}  // namespace ovproxy
