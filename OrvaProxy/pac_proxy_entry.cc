#include "OrvaProxy/pac_proxy_entry.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include "klbutil/klb_string.h"

namespace OVProxy {
namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix, std::size_t n) {
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

}  // namespace

int32_t parse_proxy_entry(std::string& element, PacProxyKind& kind, uint16_t& port) {
  klb::trim(element);
  std::string rest;
  const std::size_t blank = element.find_first_of(" \t");
  if (blank != std::string::npos) {
    const std::string keyword = element.substr(0, blank);
    rest = element.substr(blank + 1);
    klb::trim(rest);
    if (StartsWithNoCase(keyword, "PROXY", 5)) {
      kind = PacProxyKind::PROXY;
    } else if (StartsWithNoCase(keyword, "SOCKS5", 6)) {
      kind = PacProxyKind::SOCKS5;
    } else if (StartsWithNoCase(keyword, "SOCKS", 5)) {
      kind = PacProxyKind::SOCKS;
    } else if (StartsWithNoCase(keyword, "FTP", 3)) {
      kind = PacProxyKind::FTP;
    } else {
      return kPacEntryUnknownKeyword;
    }
  } else if (StartsWithNoCase(element, "DIRECT", 6)) {
    kind = PacProxyKind::DIRECT;
    port = 0;
    return kPacEntryOk;
  } else {
    kind = PacProxyKind::PROXY;
    rest = element;
  }

  // A bracketed IPv6 literal keeps its colons: the port follows "]:".
  std::size_t colon = std::string::npos;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close != std::string::npos && close + 1 < rest.size() && rest[close + 1] == ':') {
      colon = close + 1;
    }
  } else {
    colon = rest.find(':');
  }
  if (colon == std::string::npos) return kPacEntryMalformed;

  std::string port_text = rest.substr(colon + 1);
  klb::trim(port_text);
  if (port_text.empty()) return kPacEntryMalformed;
  const uint16_t value = static_cast<uint16_t>(std::strtol(port_text.c_str(), nullptr, 10));
  if (value == 0) return kPacEntryMalformed;

  std::string host = rest.substr(0, colon);
  klb::trim(host);
  if (host.empty()) return kPacEntryMalformed;
  port = value;
  element = std::move(host);
  return kPacEntryOk;
}

int32_t analyze_auto_config_group(const std::string& text, std::vector<PacProxyEntry>& entries) {
  std::string remaining = text;
  while (!remaining.empty()) {
    std::size_t separator = remaining.find(';');
    if (separator == std::string::npos) separator = remaining.find(',');
    std::string element;
    if (separator != std::string::npos) {
      element = remaining.substr(0, separator);
      remaining.erase(0, separator + 1);
    } else {
      element = std::move(remaining);
      remaining.clear();
    }
    klb::trim(element);
    PacProxyKind kind = PacProxyKind::DIRECT;
    uint16_t port = 0;
    if (parse_proxy_entry(element, kind, port) != kPacEntryOk) continue;
    PacProxyEntry entry{kind, kind == PacProxyKind::DIRECT ? std::string() : element, port};
    if (std::find(entries.begin(), entries.end(), entry) == entries.end()) {
      entries.push_back(std::move(entry));
    }
  }
  return 0;
}

void fill_proxy_info(const std::vector<PacProxyEntry>& entries, ovProxyInfo& info) {
  if (entries.empty()) {
    info.UseDirect();
    return;
  }
  for (const PacProxyEntry& entry : entries) {
    switch (entry.kind) {
      case PacProxyKind::PROXY:
        info.AddProxyServer(ovProxyServer(entry.host, entry.port, "HTTP"));
        break;
      case PacProxyKind::SOCKS:
        info.AddProxyServer(ovProxyServer(entry.host, entry.port, "SOCKS4"));
        break;
      case PacProxyKind::SOCKS5:
        info.AddProxyServer(ovProxyServer(entry.host, entry.port, "SOCKS5"));
        break;
      case PacProxyKind::DIRECT:
      case PacProxyKind::FTP:
        break;
    }
  }
}

}  // namespace OVProxy
