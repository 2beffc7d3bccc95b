// PAC result strings: parsing never crashes, every kept entry is well formed
// (a proxy has a host and a non-zero port), no entry is kept twice, and the
// answer holds exactly the PROXY and SOCKS entries.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "OrvaProxy/pac_proxy_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using OVProxy::PacProxyEntry;
  using OVProxy::PacProxyKind;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<PacProxyEntry> entries;
  if (OVProxy::analyze_auto_config_group(text, entries) != 0) std::abort();
  std::size_t servers = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PacProxyEntry& entry = entries[i];
    if (entry.kind != PacProxyKind::DIRECT) {
      if (entry.host.empty() || entry.port == 0) std::abort();
    }
    if (std::count(entries.begin(), entries.end(), entry) != 1) std::abort();
    if (entry.kind == PacProxyKind::PROXY || entry.kind == PacProxyKind::SOCKS ||
        entry.kind == PacProxyKind::SOCKS5) {
      ++servers;
    }
  }
  OVProxy::ovProxyInfo info;
  OVProxy::fill_proxy_info(entries, info);
  if (entries.empty() ? !info.is_direct() : info.Count() != servers) std::abort();

  std::string element = text;
  PacProxyKind kind = PacProxyKind::DIRECT;
  uint16_t port = 0;
  (void)OVProxy::parse_proxy_entry(element, kind, port);
  return 0;
}
