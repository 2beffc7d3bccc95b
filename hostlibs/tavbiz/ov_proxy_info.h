// ovProxyInfo: the answer for one URL, an ordered list of routes with the
// first being the one to try first.
//
// `UseNamedProxy` accepts what resolvers produce: entries separated by ";"
// (white space around them ignored), each "DIRECT" or an entry of the
// grammar of ovProxyServer::FromString ("HTTPS://h:443", "SOCKS4://h:1080",
// bare "h:80" meaning HTTP). Unparsable entries are skipped.
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

class TAVBIZ_EXPORT ovProxyInfo {
 public:
  ovProxyInfo();
  ovProxyInfo(const ovProxyInfo&);
  ovProxyInfo(ovProxyInfo&&) noexcept;
  ovProxyInfo& operator=(const ovProxyInfo&);
  ovProxyInfo& operator=(ovProxyInfo&&) noexcept;
  ~ovProxyInfo();

  void UseDirect();
  void UseProxyServer(const ovProxyServer& server);
  void UseNamedProxy(std::string_view text);
  void AddProxyServer(const ovProxyServer& server);

  std::size_t Count() const { return servers_.size(); }
  // Out-of-range indexes answer an invalid (default) server.
  const ovProxyServer& At(std::size_t index) const;
  // The first route; an invalid (default) server when the answer is empty.
  const ovProxyServer& proxy_server() const { return At(0); }

  bool is_empty() const { return servers_.empty(); }
  bool is_direct() const;
  bool is_http() const;
  bool is_https() const;
  bool is_socks() const;

  // PAC form of the whole answer: "PROXY a:80; SOCKS5 s:1080; DIRECT".
  std::string ToPacString() const;

  const std::vector<ovProxyServer>& servers() const { return servers_; }

  // Whether the answer came from a PAC script that asked DNS its engine
  // could not answer (a name lookup or the machine's address): a resolver
  // that can look names up may know better. Not part of the answer's value.
  bool dns_blind() const { return dns_blind_; }
  void set_dns_blind(bool blind) { dns_blind_ = blind; }

  bool operator==(const ovProxyInfo& other) const { return servers_ == other.servers_; }
  bool operator!=(const ovProxyInfo& other) const { return !(*this == other); }

 private:
  std::vector<ovProxyServer> servers_;
  bool dns_blind_ = false;
};

}  // namespace OVProxy
