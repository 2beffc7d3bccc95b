// The KDE backend: the [Proxy Settings] group of kioslaverc in the user's
// configuration folder ($XDG_CONFIG_HOME, else ~/.config).
//
// ProxyType: 0 no proxy; 1 manual (httpProxy, httpsProxy, ftpProxy,
// socksProxy, written "http://host 8080" or "http://host:8080"); 2 the PAC
// URL in "Proxy Config Script"; 3 automatic detection; 4 the same keys name
// environment variables that hold the values. NoProxyFor is the bypass list
// (in mode 4 the name of the variable holding it). With ReversedException
// the list names the only hosts that use the proxy, which the record cannot
// express; the list is then dropped (everything uses the proxy) and the
// caller is told through `reversed_dropped`.
//
// Thread: any; pure over the text and lookup it is given.
#pragma once

#include <string_view>

#include "platform/proxysettings/ov_env_proxy_backend.h"
#include "platform/proxysettings/ov_user_proxy_settings.h"

namespace ovplatform {

// False when the text has no [Proxy Settings] group with a ProxyType (the
// user never set up KDE's proxy), so that the caller can try the next
// backend. Otherwise fills `out` (backend "kde").
bool ReadKdeProxySettings(std::string_view kioslaverc, const EnvLookup& getenv,
                          UserProxySettings& out, bool* reversed_dropped = nullptr);

}  // namespace ovplatform
