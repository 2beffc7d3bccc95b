// Shares a verified PAC script with the client's other processes: when the
// data-sync configuration field holds the configuration the script was
// downloaded for, the script is stored in that field too (and so sent).
//
// Thread: any; the data-sync field locks itself. Installed as the PAC file
// decider's data-sync hook by the decider's owner.
#pragma once

#include <string>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"

namespace OVProxy {

void SharePacContentWithProcesses(const ovProxyConfig& config, const std::string& content);

}  // namespace OVProxy
