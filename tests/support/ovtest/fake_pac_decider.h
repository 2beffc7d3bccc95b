// FakePacDecider: a PAC decision scripted by hand. GetPacContent answers
// Record::answer (any answer but e_pending notifies the delegate at once);
// Decide completes a pending one; ChangeScript runs the script-change hook.
// Calls go to the shared Record, which outlives it. Not thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ov_i_pac_file_decider.h"

namespace ovtest {

class FakePacDecider final : public OVProxy::ovIPacFileDecider {
 public:
  struct Record {
    std::vector<std::shared_ptr<OVProxy::ovProxyConfig>> configs_set;
    int get_pac_content_calls = 0;
    int failure_resets = 0;
    int network_restarts = 0;
    OVProxy::eErrorCode answer = OVProxy::e_pending;
    OVProxy::ovPacFacts facts;  // what pacFacts answers
    FakePacDecider* decider = nullptr;
  };

  explicit FakePacDecider(std::shared_ptr<Record> record) : record_(std::move(record)) {
    record_->decider = this;
  }
  ~FakePacDecider() override { record_->decider = nullptr; }
  void Decide(bool success, const std::string& content = std::string()) {
    if (success && config_) config_->setPacContent(content);
    if (delegate_) delegate_->onPacDecisionComplete(success, success ? content : "", "");
  }

  void setDelegate(OVProxy::ovPacFileDeciderDelegate* delegate) override { delegate_ = delegate; }
  bool setConfig(const std::shared_ptr<OVProxy::ovProxyConfig>& config) override {
    record_->configs_set.push_back(config);
    if (config_ && config && *config_ == *config) return false;
    config_ = config ? config->duplicate() : nullptr;
    return true;
  }
  std::shared_ptr<OVProxy::ovProxyConfig> getConfig() override {
    return config_ ? config_->duplicate() : nullptr;
  }
  OVProxy::eErrorCode GetPacContent() override {
    ++record_->get_pac_content_calls;
    const OVProxy::eErrorCode answer = record_->answer;
    if (answer == OVProxy::e_success)
      Decide(true, "function FindProxyForURL(u, h) { return 'DIRECT'; }");
    if (answer != OVProxy::e_success && answer != OVProxy::e_pending) Decide(false);
    return answer;
  }
  OVProxy::ovPacFacts pacFacts() override { return record_->facts; }
  void resetFailureRecord() override { ++record_->failure_resets; }
  void restartForNetworkChange() override { ++record_->network_restarts; }
  void setScriptChangeHook(std::function<void()> hook) override { hook_ = std::move(hook); }
  void ChangeScript() {
    if (hook_) hook_();
  }
  void prepareRunners(const std::string&) override {}
  void releaseRunners() override {}

 private:
  std::shared_ptr<Record> record_;
  std::shared_ptr<OVProxy::ovProxyConfig> config_;
  OVProxy::ovPacFileDeciderDelegate* delegate_ = nullptr;
  std::function<void()> hook_;
};

}  // namespace ovtest
