#include "OrvaProxy/ov_pac_file_decider_host.h"

#include <utility>

#include "OrvaProxy/ov_pac_file_downloader.h"
#include "OrvaProxy/ov_task_constants.h"
#include "orvatask/orva_task.h"

namespace OVProxy {
namespace {

std::unique_ptr<ovIPACDownloader> OrModuleDownloader(std::unique_ptr<ovIPACDownloader> given) {
  if (given) return given;
  return std::make_unique<ovPACFileDownloader>();
}

}  // namespace

ovPacFileDeciderHost::ovPacFileDeciderHost(
    std::unique_ptr<ovIPACDownloader> downloader,
    std::shared_ptr<ovplatform::AutoProxyUrlDetector> detector, IOvProxyEnterpriseAdapter* adapter)
    : decider_(OrModuleDownloader(std::move(downloader)), std::move(detector)) {
  decider_.setEnterpriseAdapter(adapter);
}

ovPacFileDeciderHost::~ovPacFileDeciderHost() {
  decider_.setDelegate(nullptr);
  if (runner_created_) releaseRunners();
}

void ovPacFileDeciderHost::setDelegate(ovPacFileDeciderDelegate* delegate) {
  decider_.setDelegate(delegate);
}

bool ovPacFileDeciderHost::setConfig(const std::shared_ptr<ovProxyConfig>& config) {
  return decider_.setConfig(config);
}

std::shared_ptr<ovProxyConfig> ovPacFileDeciderHost::getConfig() {
  return decider_.getConfig();
}

eErrorCode ovPacFileDeciderHost::GetPacContent() {
  return decider_.GetPacContent();
}

void ovPacFileDeciderHost::resetFailureRecord() {
  // Only a finished decision can carry a failure; Idle's entry action forgets
  // it. A decision still running is not interrupted.
  const DeciderState state = decider_.state();
  if (state == DeciderState::Finished || state == DeciderState::Failed) {
    decider_.setState(DeciderState::Idle);
  }
}

void ovPacFileDeciderHost::restartForNetworkChange() {
  decider_.restartForNetworkChange();
}

void ovPacFileDeciderHost::setScriptChangeHook(std::function<void()> hook) {
  decider_.setScriptChangeHook(std::move(hook));
}

void ovPacFileDeciderHost::prepareRunners(const std::string& callbackRunner) {
  if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
    runner_created_ = manager->CreateRunner(kPacDeciderRunnerName, kPacDeciderTaskGroup) !=
                      OrvaTask::kInvalidRunnerId;
  }
  decider_.setCallbackRunner(callbackRunner.empty() ? std::string(kMainThreadRunnerName)
                                                    : callbackRunner);
}

void ovPacFileDeciderHost::releaseRunners() {
  decider_.setCallbackRunner(std::string());
  decider_.setState(DeciderState::Idle);
  decider_.cancelPostedWork();
  if (OrvaTask::IOVTManager* manager = OrvaTask::GetOVTManager()) {
    if (runner_created_) manager->RemoveRunner(kPacDeciderRunnerName);
  }
  runner_created_ = false;
}

}  // namespace OVProxy
