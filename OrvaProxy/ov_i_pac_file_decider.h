// ovIPacFileDecider: what the resolve controller needs of the PAC file
// decider, so that the controller can be driven by a scripted decision in
// tests. The module's implementation is ovPacFileDeciderHost, which holds an
// ovPACFileDecider by value.
//
// Contract (the decider's own): setConfig answers false for a configuration
// equal to the current one; getConfig returns a copy (null when there is
// none); GetPacContent answers e_success or a failure after telling the
// delegate, or e_pending when the delegate hears later. The delegate may be
// called from inside GetPacContent.
//
// Thread: every call, and every delegate notification, on the resolve
// service's runner. Lifetime: owned by the controller; notifications stop
// when it is destroyed.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_error_code.h"
#include "OrvaProxy/ov_pac_file_decider.h"

namespace OVProxy {

class ovIPacFileDecider {
 public:
  virtual ~ovIPacFileDecider() = default;

  virtual void setDelegate(ovPacFileDeciderDelegate* delegate) = 0;
  virtual bool setConfig(const std::shared_ptr<ovProxyConfig>& config) = 0;
  virtual std::shared_ptr<ovProxyConfig> getConfig() = 0;
  virtual eErrorCode GetPacContent() = 0;
  // Forgets a failed download, so that the next GetPacContent may try again
  // at once (after a network change).
  virtual void resetFailureRecord() = 0;
  // The network changed: the detected URL and the script in force are
  // forgotten, so that the next GetPacContent decides anew for this network.
  // The caller forgets the answers made with the old script itself.
  virtual void restartForNetworkChange() {}
  // `hook` runs (on the resolve service's runner) whenever the script in
  // force changes text or is dropped, other than by restartForNetworkChange;
  // null removes it.
  virtual void setScriptChangeHook(std::function<void()> hook) { (void)hook; }
  // What the script in force rests on (URL, origin, download), for the
  // record of a request's road; nothing known by default.
  virtual ovPacFacts pacFacts() { return {}; }

  // The owner's set-up at service start: the decider's own runner, and the
  // runner notifications come back on. Undone by releaseRunners.
  virtual void prepareRunners(const std::string& callbackRunner) = 0;
  virtual void releaseRunners() = 0;
};

}  // namespace OVProxy
