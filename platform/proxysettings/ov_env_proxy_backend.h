// The environment-variable backend: http_proxy, https_proxy, ftp_proxy,
// all_proxy, no_proxy and auto_proxy, each looked up in lower case first and
// then in upper case.
//
// - A variable whose URL has a SOCKS scheme gives the SOCKS entry (the first
//   such wins), whatever the variable's name.
// - all_proxy alone gives one proxy for every scheme; beside per-scheme
//   variables it fills the schemes they leave out.
// - no_proxy is a "," list; "*" bypasses everything.
// - auto_proxy set to a URL gives the PAC URL; set but empty asks for
//   automatic detection.
// Values that do not parse as a proxy are left out.
//
// Thread: any; pure over the lookup it is given.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/proxysettings/ov_user_proxy_settings.h"

namespace ovplatform {

using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;

// Fills `out` (backend "environment"); an empty environment gives an empty
// record, which means a direct connection.
void ReadEnvironmentProxySettings(const EnvLookup& getenv, UserProxySettings& out);

}  // namespace ovplatform
