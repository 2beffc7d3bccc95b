// Stand-in when GIO was not found at build time: GNOME's settings are not
// read and the caller moves on to the next backend.
#include "platform/proxysettings/ov_gnome_proxy_backend.h"

namespace ovplatform {

bool GnomeProxyBackendBuilt() {
  return false;
}

bool ReadGnomeProxyValues(GnomeProxyValues&) {
  return false;
}

}  // namespace ovplatform
