// The GNOME backend: the "org.gnome.system.proxy" GSettings schema, read
// through GIO.
//
// mode "none" gives no proxy; "auto" the autoconfig-url, or automatic
// detection when that URL is empty; "manual" the http, https, ftp and socks
// hosts with their ports (an entry needs a host and a port above 0); with
// use-same-proxy the http proxy also serves the schemes without a host of
// their own (one proxy for all when it is the only one). ignore-hosts is the
// bypass list in every mode.
//
// GIO is optional: without it at build time (or without the schema at run
// time) ReadGnomeProxySettings answers false and the caller moves on.
//
// Thread: any. Each read opens and drops its own settings objects and
// needs no main loop.
#pragma once

#include <string>
#include <vector>

#include "platform/proxysettings/ov_user_proxy_settings.h"

namespace ovplatform {

struct GnomeProxyValues {
  std::string mode;
  std::string autoconfig_url;
  bool use_same_proxy = false;
  struct Server {
    std::string host;
    int port = 0;
  };
  Server http;
  Server https;
  Server ftp;
  Server socks;
  std::vector<std::string> ignore_hosts;
};

// The record for a set of values (backend "gnome").
UserProxySettings TranslateGnomeProxyValues(const GnomeProxyValues& values);

// Whether this build reads GSettings at all.
bool GnomeProxyBackendBuilt();
// False when GIO is not built in or the schema is not installed.
bool ReadGnomeProxyValues(GnomeProxyValues& out);

}  // namespace ovplatform
