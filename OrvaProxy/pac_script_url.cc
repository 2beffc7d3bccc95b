#include "OrvaProxy/pac_script_url.h"

#include "onetutils/onet_text.h"

namespace OVProxy {

std::string PacScriptUrl(const std::string& url) {
  const ONet::UrlParts parts = ONet::SplitUrl(url);
  if (!parts.has_scheme) {
    // No authority to clean: only the fragment goes.
    return url.substr(0, url.find('#'));
  }
  std::string out;
  out.reserve(url.size());
  out.append(parts.scheme).append("://").append(parts.host_port);
  if (ONet::EqualsIgnoreCase(parts.scheme, "https") ||
      ONet::EqualsIgnoreCase(parts.scheme, "wss")) {
    out.push_back('/');
    return out;
  }
  out.append(parts.path);
  if (parts.has_query) out.append("?").append(parts.query);
  return out;
}

}  // namespace OVProxy
