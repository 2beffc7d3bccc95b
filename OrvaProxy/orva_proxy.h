// Umbrella header of OrvaProxy: every exported class and the types it uses.
#pragma once

#include "OrvaProxy/orva_proxy_module.h"
#include "OrvaProxy/ovProxyConfig/ov_net_state_observer.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_bypass_rules.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_manager_impl.h"
#include "OrvaProxy/ov_export.h"
#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider.h"
#include "tavbiz/ov_proxy_info.h"
#include "tavbiz/ov_proxy_list.h"
#include "tavbiz/ov_proxy_server.h"
