#include "OrvaProxy/ovProxyConfig/ov_net_state_observer.h"

namespace OVProxy {

// Out of line so that the class's type information has one home, in the
// library, for callers that implement it.
ovNetStateObserver::~ovNetStateObserver() = default;

}  // namespace OVProxy
