#include "OrvaProxy/ov_pac_content_sync.h"

#include "OrvaProxy/ov_proxy_config_mode.h"
#include "OrvaProxy/ov_proxy_info_mode_impl.h"

namespace OVProxy {

void SharePacContentWithProcesses(const ovProxyConfig& config, const std::string& content) {
  std::shared_ptr<ovProxyConfigMode> field = ovProxyInfoModeImpl::GetInstance()->getConfigMode();
  if (!field) return;
  ovProxyConfig shared;
  if (field->getConfig(shared) && shared == config) field->setPacContent(content);
}

}  // namespace OVProxy
