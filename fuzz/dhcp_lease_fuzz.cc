// DHCP lease files: parsing never crashes, and every WPAD URL it keeps is one
// that the URL check accepts unchanged (http or https, bounded, no control
// characters).
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/wpad/ov_dhcp_lease_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const ovplatform::DhcpLease& lease : ovplatform::ParseDhcpLeaseFile(text)) {
    if (lease.wpadUrl.empty()) continue;
    if (lease.wpadUrl.size() > ovplatform::kMaxWpadUrlLength) std::abort();
    if (ovplatform::NormalizeWpadUrl(lease.wpadUrl) != lease.wpadUrl) std::abort();
    std::string scheme = lease.wpadUrl.substr(0, lease.wpadUrl.find("://") + 3);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http://" && scheme != "https://") std::abort();
  }
  (void)ovplatform::DecodeDhcpOptionValue(text);
  return 0;
}
