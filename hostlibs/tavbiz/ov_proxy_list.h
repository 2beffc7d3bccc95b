// ovProxyList: an ordered list of proxies, as configured by hand.
//
// `Set` reads a manual proxy string that has no "=": entries separated by
// ";", "," or white space, each following the grammar of
// ovProxyServer::FromString. Entries that do not parse are skipped, so a
// partly broken string still yields the usable part.
//
// Thread-safety: none; a value is used by one thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tavbiz/ov_proxy_server.h"
#include "tavbiz/tavbiz_export.h"

namespace OVProxy {

class TAVBIZ_EXPORT ovProxyList {
 public:
  ovProxyList();
  ovProxyList(const ovProxyList&);
  ovProxyList(ovProxyList&&) noexcept;
  ovProxyList& operator=(const ovProxyList&);
  ovProxyList& operator=(ovProxyList&&) noexcept;
  ~ovProxyList();

  void Set(std::string_view text);

  // Entries in PAC form joined by "; " ("PROXY a:80; SOCKS5 s:1080").
  std::string ToPacString() const;

  // The first entry. Must only be called when the list is not empty; on an
  // empty list it answers an invalid (default) server rather than crash.
  const ovProxyServer& First() const;

  bool Equals(const ovProxyList& other) const;
  bool IsEmpty() const { return servers_.empty(); }
  void Clear() { servers_.clear(); }
  void AddProxyServer(const ovProxyServer& server);
  void SetSingleProxyServer(const ovProxyServer& server);

  std::size_t size() const { return servers_.size(); }
  const std::vector<ovProxyServer>& servers() const { return servers_; }

  bool operator==(const ovProxyList& other) const { return Equals(other); }
  bool operator!=(const ovProxyList& other) const { return !Equals(other); }

 private:
  std::vector<ovProxyServer> servers_;
};

}  // namespace OVProxy
