// ovPacFileDeciderHost: the module's ovIPacFileDecider, an ovPACFileDecider
// held by value with its downloader.
//
// resetFailureRecord returns a decider that has finished (or whose download
// monitor fired) to Idle, which clears its failure record; a detection or
// download still running is left alone, as it has no failure recorded yet.
// prepareRunners creates "pac_decider_task_runner" (grouping value 61) and
// sets the callback runner; releaseRunners empties the callback runner,
// returns the decider to Idle, drops the decider's own queued work (not that
// of other deciders in the process) and removes that runner.
//
// Thread: the resolve service's runner. Lifetime: owned by the resolve
// controller.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "OrvaProxy/ov_i_pac_file_decider.h"
#include "OrvaProxy/ov_pac_file_decider.h"

namespace ovplatform {
class AutoProxyUrlDetector;
}

namespace OVProxy {

class IOvProxyEnterpriseAdapter;

class ovPacFileDeciderHost final : public ovIPacFileDecider {
 public:
  // A null downloader means an ovPACFileDownloader; a null detector or
  // adapter means the process's.
  explicit ovPacFileDeciderHost(
      std::unique_ptr<ovIPACDownloader> downloader = nullptr,
      std::shared_ptr<ovplatform::AutoProxyUrlDetector> detector = nullptr,
      IOvProxyEnterpriseAdapter* adapter = nullptr);
  ~ovPacFileDeciderHost() override;
  ovPacFileDeciderHost(const ovPacFileDeciderHost&) = delete;
  ovPacFileDeciderHost& operator=(const ovPacFileDeciderHost&) = delete;

  void setDelegate(ovPacFileDeciderDelegate* delegate) override;
  bool setConfig(const std::shared_ptr<ovProxyConfig>& config) override;
  std::shared_ptr<ovProxyConfig> getConfig() override;
  eErrorCode GetPacContent() override;
  void resetFailureRecord() override;
  void restartForNetworkChange() override;
  void setScriptChangeHook(std::function<void()> hook) override;
  ovPacFacts pacFacts() override { return decider_.pacFacts(); }
  void prepareRunners(const std::string& callbackRunner) override;
  void releaseRunners() override;

  ovPACFileDecider& decider() { return decider_; }

 private:
  ovPACFileDecider decider_;
  bool runner_created_ = false;
};

}  // namespace OVProxy
