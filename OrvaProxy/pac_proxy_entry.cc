#include "OrvaProxy/pac_proxy_entry.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <unordered_set>

#include "klbutil/klb_string.h"
#include "onetutils/onet_text.h"

namespace OVProxy {
namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix, std::size_t n) {
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

// The scheme string of a server entry; null for DIRECT and FTP.
const char* SchemeOf(PacProxyKind kind) {
  switch (kind) {
    case PacProxyKind::PROXY:
      return ovProxyServer::kSchemeHttp;
    case PacProxyKind::SOCKS:
      return ovProxyServer::kSchemeSocks4;
    case PacProxyKind::SOCKS5:
      return ovProxyServer::kSchemeSocks5;
    case PacProxyKind::DIRECT:
    case PacProxyKind::FTP:
      break;
  }
  return nullptr;
}

// Proxies take their scheme's default port; FTP, which names no proxy of
// this module, the protocol's own.
uint16_t DefaultPort(PacProxyKind kind) {
  if (kind == PacProxyKind::FTP) return 21;
  const char* scheme = SchemeOf(kind);
  return scheme == nullptr ? 0 : static_cast<uint16_t>(ovProxyServer::DefaultPortForScheme(scheme));
}

// The part of an answer that is read: all of it when short enough, else up
// to the last separator within the bound.
std::string_view BoundedAnswer(std::string_view text) {
  if (text.size() <= kMaxPacAnswerLength) return text;
  const std::size_t last = text.substr(0, kMaxPacAnswerLength).find_last_of(";,");
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last);
}

// What makes two entries the same: kind, port and the host's bytes.
std::string DuplicateKey(const PacProxyEntry& entry) {
  std::string key;
  key.reserve(entry.host.size() + 3);
  key.push_back(static_cast<char>(entry.kind));
  key.push_back(static_cast<char>(entry.port >> 8));
  key.push_back(static_cast<char>(entry.port & 0xff));
  key.append(entry.host);
  return key;
}

bool IsHexOrAddressPunct(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
}

bool IsHostNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
}

// A host name or IPv4 address (letters, digits, "-", "_", "."), or an IPv6
// address in brackets; nothing a connection could not be made to.
bool IsProxyHost(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    if (host.size() < 4 || host.back() != ']') return false;
    const std::string_view inner = host.substr(1, host.size() - 2);
    return inner.find(':') != std::string_view::npos &&
           std::all_of(inner.begin(), inner.end(), IsHexOrAddressPunct);
  }
  return std::all_of(host.begin(), host.end(), IsHostNameChar);
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
  const bool has_keyword = blank != std::string::npos;

  const std::optional<ONet::HostPort> split = ONet::SplitHostPort(rest);
  if (!split) return kPacEntryMalformed;
  // Without a keyword only "host:port" names a proxy: a bare word (a keyword
  // standing alone, "INVALID") is no proxy on port 80.
  if (!has_keyword && !split->has_port) return kPacEntryMalformed;
  std::string host(split->host);
  klb::trim(host);
  if (!IsProxyHost(host)) return kPacEntryMalformed;
  uint16_t value = DefaultPort(kind);
  if (split->has_port) {
    std::string port_text(split->port);
    klb::trim(port_text);
    const std::optional<uint16_t> parsed = ONet::ParsePort(port_text);
    if (!parsed) return kPacEntryMalformed;
    value = *parsed;
  }
  port = value;
  element = std::move(host);
  return kPacEntryOk;
}

int32_t analyze_auto_config_group(const std::string& text, std::vector<PacProxyEntry>& entries) {
  const std::string_view answer = BoundedAnswer(text);
  std::unordered_set<std::string> seen;
  for (const PacProxyEntry& entry : entries) seen.insert(DuplicateKey(entry));

  // Once no ";" is left, none will be: from then on "," separates, so every
  // byte is looked at a bounded number of times.
  bool semicolons = true;
  std::size_t pos = 0;
  while (pos < answer.size()) {
    std::size_t separator = std::string_view::npos;
    if (semicolons) {
      separator = answer.find(';', pos);
      semicolons = separator != std::string_view::npos;
    }
    if (!semicolons) separator = answer.find(',', pos);
    const std::size_t end = separator == std::string_view::npos ? answer.size() : separator;
    std::string element(answer.substr(pos, end - pos));
    pos = end + 1;

    PacProxyKind kind = PacProxyKind::DIRECT;
    uint16_t port = 0;
    if (parse_proxy_entry(element, kind, port) != kPacEntryOk) continue;
    PacProxyEntry entry{kind, kind == PacProxyKind::DIRECT ? std::string() : std::move(element),
                        port};
    if (seen.insert(DuplicateKey(entry)).second) entries.push_back(std::move(entry));
  }
  return 0;
}

void fill_proxy_info(const std::vector<PacProxyEntry>& entries, ovProxyInfo& info) {
  // DIRECT after the last proxy is left to the resolve task, which ends
  // every answer with it; before a proxy it keeps its place.
  std::size_t proxies_end = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (SchemeOf(entries[i].kind) != nullptr) proxies_end = i + 1;
  }
  // No proxy at all: "go direct" is DIRECT, on every road, never an empty
  // answer.
  if (proxies_end == 0) {
    info.UseDirect();
    return;
  }
  for (std::size_t i = 0; i < proxies_end; ++i) {
    const PacProxyEntry& entry = entries[i];
    if (const char* scheme = SchemeOf(entry.kind)) {
      info.AddProxyServer(ovProxyServer(entry.host, entry.port, scheme));
    } else if (entry.kind == PacProxyKind::DIRECT) {
      info.AddProxyServer(ovProxyServer::CreateDirect());
    }
  }
}

}  // namespace OVProxy
