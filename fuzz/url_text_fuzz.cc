// URL, host:port and port texts: splitting never crashes, the pieces put
// together give the text back, and the URL a PAC script is shown never
// carries user information or a fragment, keeps the host, and for https and
// wss carries no path or query.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "OrvaProxy/pac_script_url.h"
#include "onetutils/onet_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  if (const auto split = ONet::SplitHostPort(text)) {
    const std::string joined =
        std::string(split->host) + (split->has_port ? ":" + std::string(split->port) : "");
    if (joined != text) std::abort();
  }
  if (const auto port = ONet::ParsePort(text)) {
    if (*port == 0 || std::stoul(text) != *port) std::abort();
  }

  const std::string cleaned = OVProxy::PacScriptUrl(text);
  if (cleaned.find('#') != std::string::npos) std::abort();
  const ONet::UrlParts before = ONet::SplitUrl(text);
  if (before.has_scheme) {
    const ONet::UrlParts after = ONet::SplitUrl(cleaned);
    if (after.has_userinfo || after.host != before.host || after.port != before.port) std::abort();
    if ((ONet::EqualsIgnoreCase(before.scheme, "https") ||
         ONet::EqualsIgnoreCase(before.scheme, "wss")) &&
        (after.path != "/" || after.has_query)) {
      std::abort();
    }
  }
  return 0;
}
