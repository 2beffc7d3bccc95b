// PAC result strings: parsing never crashes, every kept entry is well formed
// (a proxy has a host of name or address characters only and a port in
// 1-65535), no entry is kept twice, the answer lists the proxies in order
// with a DIRECT only where one came before a proxy (DIRECT alone when there
// is no proxy), and no answer is longer than the bound allows.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaProxy/pac_proxy_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using OVProxy::PacProxyEntry;
  using OVProxy::PacProxyKind;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<PacProxyEntry> entries;
  if (OVProxy::analyze_auto_config_group(text, entries) != 0) std::abort();
  if (entries.size() > OVProxy::kMaxPacAnswerLength / 2 + 1) std::abort();
  // The schemes the answer must hold: proxies, and DIRECTs up to the last one.
  std::vector<std::string> expected;
  std::size_t proxies_end = 0;
  for (const PacProxyEntry& entry : entries) {
    if (entry.kind != PacProxyKind::DIRECT && (entry.host.empty() || entry.port == 0)) {
      std::abort();
    }
    for (const char c : entry.host) {
      if (!std::isalnum(static_cast<unsigned char>(c)) &&
          std::string_view("-_.[]:").find(c) == std::string_view::npos) {
        std::abort();
      }
    }
    if (std::count(entries.begin(), entries.end(), entry) != 1) std::abort();
    if (entry.kind == PacProxyKind::DIRECT) expected.push_back("DIRECT");
    if (entry.kind == PacProxyKind::PROXY) expected.push_back("HTTP");
    if (entry.kind == PacProxyKind::SOCKS) expected.push_back("SOCKS4");
    if (entry.kind == PacProxyKind::SOCKS5) expected.push_back("SOCKS5");
    if (!expected.empty() && expected.back() != "DIRECT") proxies_end = expected.size();
  }
  expected.resize(proxies_end);
  if (proxies_end == 0) expected.assign(1, "DIRECT");

  OVProxy::ovProxyInfo info;
  OVProxy::fill_proxy_info(entries, info);
  if (info.Count() != expected.size()) std::abort();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (info.At(i).scheme != expected[i]) std::abort();
  }

  std::string element = text;
  PacProxyKind kind = PacProxyKind::DIRECT;
  uint16_t port = 0;
  (void)OVProxy::parse_proxy_entry(element, kind, port);
  return 0;
}
