#include "tavbiz/ov_proxy_list.h"

#include "onetutils/onet_text.h"

namespace OVProxy {

ovProxyList::ovProxyList() = default;
ovProxyList::ovProxyList(const ovProxyList&) = default;
ovProxyList::ovProxyList(ovProxyList&&) noexcept = default;
ovProxyList& ovProxyList::operator=(const ovProxyList&) = default;
ovProxyList& ovProxyList::operator=(ovProxyList&&) noexcept = default;
ovProxyList::~ovProxyList() = default;

void ovProxyList::Set(std::string_view text) {
  servers_.clear();
  for (std::string_view entry : ONet::SplitList(text, "; ,\t\r\n")) {
    if (auto server = ovProxyServer::FromString(entry)) servers_.push_back(std::move(*server));
  }
}

std::string ovProxyList::ToPacString() const {
  std::string out;
  for (const ovProxyServer& server : servers_) {
    if (!out.empty()) out += "; ";
    out += server.ToPacString();
  }
  return out;
}

const ovProxyServer& ovProxyList::First() const {
  static const ovProxyServer kNone;
  return servers_.empty() ? kNone : servers_.front();
}

bool ovProxyList::Equals(const ovProxyList& other) const {
  return servers_ == other.servers_;
}

void ovProxyList::AddProxyServer(const ovProxyServer& server) {
  servers_.push_back(server);
}

void ovProxyList::SetSingleProxyServer(const ovProxyServer& server) {
  servers_.assign(1, server);
}

}  // namespace OVProxy
