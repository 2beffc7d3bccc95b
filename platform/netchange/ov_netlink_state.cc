#include "platform/netchange/ov_netlink_state.h"

#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace ovplatform {
namespace {

constexpr uint32_t kLinkFlagsThatMatter = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;

size_t Align4(size_t length) {
  return (length + 3) & ~size_t{3};
}

// Reads a plain struct from a byte buffer that need not be aligned.
template <typename T>
bool ReadStruct(const uint8_t* data, size_t size, T& out) {
  if (size < sizeof(T)) return false;
  std::memcpy(&out, data, sizeof(T));
  return true;
}

struct Attribute {
  uint16_t type;
  const uint8_t* data;
  size_t size;
};

std::vector<Attribute> ReadAttributes(const uint8_t* data, size_t size) {
  std::vector<Attribute> attributes;
  size_t offset = 0;
  while (offset + sizeof(rtattr) <= size) {
    rtattr header{};
    std::memcpy(&header, data + offset, sizeof header);
    if (header.rta_len < sizeof(rtattr) || header.rta_len > size - offset) break;
    attributes.push_back({static_cast<uint16_t>(header.rta_type & NLA_TYPE_MASK),
                          data + offset + sizeof(rtattr), header.rta_len - sizeof(rtattr)});
    offset += Align4(header.rta_len);
  }
  return attributes;
}

void AppendBytes(std::string& key, const void* data, size_t size) {
  // Length first, so that fields of different sizes cannot run together.
  const auto length = static_cast<uint32_t>(size);
  key.append(reinterpret_cast<const char*>(&length), sizeof length);
  key.append(static_cast<const char*>(data), size);
}

template <typename T>
void AppendValue(std::string& key, const T& value) {
  AppendBytes(key, &value, sizeof value);
}

}  // namespace

bool NetlinkState::Apply(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  bool changed = false;
  size_t offset = 0;
  while (offset + sizeof(nlmsghdr) <= size) {
    nlmsghdr header{};
    std::memcpy(&header, bytes + offset, sizeof header);
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size - offset) break;
    const uint8_t* payload = bytes + offset + sizeof(nlmsghdr);
    const size_t payloadSize = header.nlmsg_len - sizeof(nlmsghdr);
    switch (header.nlmsg_type) {
      case RTM_NEWLINK:
      case RTM_DELLINK:
        changed |= ApplyLink(header.nlmsg_type, payload, payloadSize);
        break;
      case RTM_NEWADDR:
      case RTM_DELADDR:
        changed |= ApplyAddress(header.nlmsg_type, payload, payloadSize);
        break;
      case RTM_NEWROUTE:
      case RTM_DELROUTE:
        changed |= ApplyRoute(header.nlmsg_type, payload, payloadSize);
        break;
      default:
        break;
    }
    offset += Align4(header.nlmsg_len);
  }
  return changed;
}

bool NetlinkState::ApplyLink(uint16_t type, const uint8_t* payload, size_t size) {
  ifinfomsg info{};
  if (!ReadStruct(payload, size, info)) return false;
  if (type == RTM_DELLINK) return links_.erase(info.ifi_index) > 0;
  const uint32_t flags = info.ifi_flags & kLinkFlagsThatMatter;
  auto [it, inserted] = links_.try_emplace(info.ifi_index, flags);
  if (inserted) return true;
  if (it->second == flags) return false;
  it->second = flags;
  return true;
}

bool NetlinkState::ApplyAddress(uint16_t type, const uint8_t* payload, size_t size) {
  ifaddrmsg info{};
  if (!ReadStruct(payload, size, info)) return false;
  uint32_t flags = info.ifa_flags;
  const Attribute* address = nullptr;
  const Attribute* local = nullptr;
  const std::vector<Attribute> attributes = ReadAttributes(
      payload + NLMSG_ALIGN(sizeof info), size - std::min(size, NLMSG_ALIGN(sizeof info)));
  for (const Attribute& attribute : attributes) {
    if (attribute.type == IFA_ADDRESS) address = &attribute;
    if (attribute.type == IFA_LOCAL) local = &attribute;
    if (attribute.type == IFA_FLAGS && attribute.size >= sizeof(uint32_t)) {
      std::memcpy(&flags, attribute.data, sizeof flags);
    }
  }
  // On point-to-point links IFA_ADDRESS is the peer; the own address is IFA_LOCAL.
  const Attribute* own = local != nullptr ? local : address;
  if (own == nullptr) return false;
  std::string key;
  AppendValue(key, info.ifa_family);
  AppendValue(key, info.ifa_index);
  AppendValue(key, info.ifa_prefixlen);
  AppendBytes(key, own->data, own->size);
  if (type == RTM_DELADDR) return addresses_.erase(key) > 0;
  const bool usable = (flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) == 0;
  auto [it, inserted] = addresses_.try_emplace(std::move(key), usable);
  if (inserted) return true;
  if (it->second == usable) return false;
  it->second = usable;
  return true;
}

bool NetlinkState::ApplyRoute(uint16_t type, const uint8_t* payload, size_t size) {
  rtmsg info{};
  if (!ReadStruct(payload, size, info)) return false;
  // Cached clones and the local table (one route per own address, already
  // seen as addresses) say nothing new; only unicast routes lead anywhere.
  if ((info.rtm_flags & RTM_F_CLONED) != 0 || info.rtm_type != RTN_UNICAST) return false;
  uint32_t table = info.rtm_table;
  std::string dst, gateway, multipath;
  uint32_t oif = 0, priority = 0;
  const std::vector<Attribute> attributes = ReadAttributes(
      payload + NLMSG_ALIGN(sizeof info), size - std::min(size, NLMSG_ALIGN(sizeof info)));
  for (const Attribute& attribute : attributes) {
    const std::string value(reinterpret_cast<const char*>(attribute.data), attribute.size);
    switch (attribute.type) {
      case RTA_TABLE:
        if (attribute.size >= sizeof table) std::memcpy(&table, attribute.data, sizeof table);
        break;
      case RTA_DST:
        dst = value;
        break;
      case RTA_GATEWAY:
        gateway = value;
        break;
      case RTA_MULTIPATH:
        multipath = value;
        break;
      case RTA_OIF:
        if (attribute.size >= sizeof oif) std::memcpy(&oif, attribute.data, sizeof oif);
        break;
      case RTA_PRIORITY:
        if (attribute.size >= sizeof priority) {
          std::memcpy(&priority, attribute.data, sizeof priority);
        }
        break;
      default:
        break;
    }
  }
  if (table == RT_TABLE_LOCAL) return false;
  std::string key;
  AppendValue(key, info.rtm_family);
  AppendValue(key, table);
  AppendValue(key, info.rtm_dst_len);
  AppendBytes(key, dst.data(), dst.size());
  AppendBytes(key, gateway.data(), gateway.size());
  AppendValue(key, oif);
  AppendValue(key, priority);
  AppendBytes(key, multipath.data(), multipath.size());
  if (type == RTM_DELROUTE) return routes_.erase(key) > 0;
  return routes_.insert(std::move(key)).second;
}

}  // namespace ovplatform
