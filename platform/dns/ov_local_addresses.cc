#include "platform/dns/ov_local_addresses.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers.
#include <iphlpapi.h>
#else
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <utility>

namespace ovplatform {
namespace {

constexpr unsigned long kRouteUp = 0x1;        // RTF_UP
constexpr unsigned long kRouteReject = 0x200;  // RTF_REJECT: an unreachable route

bool ParseHex(const std::string& text, unsigned long& value) {
  if (text.empty() || text.size() > 8) return false;
  value = 0;
  for (const char c : text) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  return true;
}

// The words of each line of `text`; the lines' own order.
std::vector<std::vector<std::string>> Lines(std::string_view text) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(std::move(word));
    lines.push_back(std::move(fields));
  }
  return lines;
}

#ifndef _WIN32
std::string ReadProcFile(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class SystemLocalAddressSource final : public LocalAddressSource {
 public:
  std::vector<std::string> LocalAddresses() override {
    std::vector<InterfaceAddress> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
      for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0) continue;
        InterfaceAddress item;
        item.iface = entry->ifa_name != nullptr ? entry->ifa_name : "";
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        char text[INET6_ADDRSTRLEN] = {};
        if (entry->ifa_addr->sa_family == AF_INET) {
          const auto* in4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
          if (inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text) == nullptr) continue;
          item.loopback = item.loopback || (ntohl(in4->sin_addr.s_addr) >> 24) == 127;
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
          const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
          if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) == nullptr) continue;
          item.ipv6 = true;
          item.loopback = item.loopback || IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
          item.link_local = IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr);
        } else {
          continue;
        }
        item.address = text;
        addresses.push_back(std::move(item));
      }
      freeifaddrs(list);
    }
    return RankLocalAddresses(addresses, DefaultRouteInterface4(ReadProcFile("/proc/net/route")),
                              DefaultRouteInterface6(ReadProcFile("/proc/net/ipv6_route")));
  }
};
#else
class SystemLocalAddressSource final : public LocalAddressSource {
 public:
  std::vector<std::string> LocalAddresses() override {
    // The interfaces the system would send to 0.0.0.0 and :: through: the
    // default routes', found from the routing table alone.
    std::string default4;
    std::string default6;
    sockaddr_in any4{};
    any4.sin_family = AF_INET;
    DWORD index = 0;
    if (GetBestInterfaceEx(reinterpret_cast<sockaddr*>(&any4), &index) == NO_ERROR) {
      default4 = std::to_string(index);
    }
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    if (GetBestInterfaceEx(reinterpret_cast<sockaddr*>(&any6), &index) == NO_ERROR) {
      default6 = std::to_string(index);
    }
    std::vector<InterfaceAddress> addresses;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
      buffer.assign(size, 0);
      rc = GetAdaptersAddresses(
          AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
          nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc == NO_ERROR) {
      for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
           adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) continue;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
          const sockaddr* address = unicast->Address.lpSockaddr;
          if (address == nullptr) continue;
          InterfaceAddress item;
          item.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
          char text[INET6_ADDRSTRLEN] = {};
          if (address->sa_family == AF_INET) {
            const auto* in4 = reinterpret_cast<const sockaddr_in*>(address);
            if (inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text) == nullptr) continue;
            item.iface = std::to_string(adapter->IfIndex);
          } else if (address->sa_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
            if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) == nullptr) continue;
            item.iface = std::to_string(adapter->Ipv6IfIndex);
            item.ipv6 = true;
            item.link_local =
                in6->sin6_addr.s6_addr[0] == 0xfe && (in6->sin6_addr.s6_addr[1] & 0xc0) == 0x80;
          } else {
            continue;
          }
          item.address = text;
          addresses.push_back(std::move(item));
        }
      }
    }
    return RankLocalAddresses(addresses, default4, default6);
  }
};
#endif

}  // namespace

std::shared_ptr<LocalAddressSource> MakeSystemLocalAddressSource() {
  return std::make_shared<SystemLocalAddressSource>();
}

std::vector<std::string> RankLocalAddresses(const std::vector<InterfaceAddress>& addresses,
                                            std::string_view default_interface4,
                                            std::string_view default_interface6) {
  // Lower ranks first; the interface list's own order within a rank.
  const auto rank = [&](const InterfaceAddress& a) {
    if (a.loopback) return 4;
    if (!a.ipv6) return a.iface == default_interface4 ? 0 : 2;
    if (a.link_local) return 5;
    return a.iface == default_interface6 ? 1 : 3;
  };
  std::vector<const InterfaceAddress*> kept;
  const bool only_loopback =
      std::all_of(addresses.begin(), addresses.end(), [&](const auto& a) { return rank(a) >= 4; });
  for (const InterfaceAddress& a : addresses) {
    const int r = rank(a);
    if (r < 4 || (r == 4 && only_loopback)) kept.push_back(&a);
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [&](const auto* a, const auto* b) { return rank(*a) < rank(*b); });
  std::vector<std::string> ranked;
  for (const InterfaceAddress* a : kept) {
    if (std::find(ranked.begin(), ranked.end(), a->address) == ranked.end()) {
      ranked.push_back(a->address);
    }
  }
  return ranked;
}

std::string DefaultRouteInterface4(std::string_view proc_net_route) {
  // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
  std::string best;
  unsigned long best_metric = std::numeric_limits<unsigned long>::max();
  for (const auto& fields : Lines(proc_net_route)) {
    if (fields.size() < 8 || fields[1] != "00000000" || fields[7] != "00000000") continue;
    unsigned long flags = 0;
    if (!ParseHex(fields[3], flags) || (flags & kRouteUp) == 0 || (flags & kRouteReject) != 0) {
      continue;
    }
    char* end = nullptr;
    const unsigned long metric = std::strtoul(fields[6].c_str(), &end, 10);
    if (end == fields[6].c_str() || *end != '\0') continue;
    if (best.empty() || metric < best_metric) {
      best = fields[0];
      best_metric = metric;
    }
  }
  return best;
}

std::string DefaultRouteInterface6(std::string_view proc_net_ipv6_route) {
  // Destination, its prefix length, source, its prefix length, next hop,
  // metric, reference count, use, flags (hexadecimal), interface.
  std::string best;
  unsigned long best_metric = std::numeric_limits<unsigned long>::max();
  for (const auto& fields : Lines(proc_net_ipv6_route)) {
    if (fields.size() < 10 || fields[0] != std::string(32, '0') || fields[1] != "00") continue;
    unsigned long metric = 0;
    unsigned long flags = 0;
    if (!ParseHex(fields[5], metric) || !ParseHex(fields[8], flags) || (flags & kRouteUp) == 0 ||
        (flags & kRouteReject) != 0 || fields[9] == "lo") {
      continue;
    }
    if (best.empty() || metric < best_metric) {
      best = fields[9];
      best_metric = metric;
    }
  }
  return best;
}

}  // namespace ovplatform
