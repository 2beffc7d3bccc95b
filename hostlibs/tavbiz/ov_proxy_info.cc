#include "tavbiz/ov_proxy_info.h"

#include "onetutils/onet_text.h"

namespace OVProxy {

ovProxyInfo::ovProxyInfo() = default;
ovProxyInfo::ovProxyInfo(const ovProxyInfo&) = default;
ovProxyInfo::ovProxyInfo(ovProxyInfo&&) noexcept = default;
ovProxyInfo& ovProxyInfo::operator=(const ovProxyInfo&) = default;
ovProxyInfo& ovProxyInfo::operator=(ovProxyInfo&&) noexcept = default;
ovProxyInfo::~ovProxyInfo() = default;

void ovProxyInfo::UseDirect() {
  servers_.assign(1, ovProxyServer::CreateDirect());
}

void ovProxyInfo::UseProxyServer(const ovProxyServer& server) {
  servers_.assign(1, server);
}

void ovProxyInfo::UseNamedProxy(std::string_view text) {
  servers_.clear();
  for (std::string_view entry : ONet::SplitList(text, ";")) {
    if (auto server = ovProxyServer::FromString(entry)) servers_.push_back(std::move(*server));
  }
}

void ovProxyInfo::AddProxyServer(const ovProxyServer& server) {
  servers_.push_back(server);
}

const ovProxyServer& ovProxyInfo::At(std::size_t index) const {
  static const ovProxyServer kNone;
  return index < servers_.size() ? servers_[index] : kNone;
}

bool ovProxyInfo::is_direct() const {
  return !servers_.empty() && servers_.front().is_direct();
}
bool ovProxyInfo::is_http() const {
  return !servers_.empty() && servers_.front().is_http();
}
bool ovProxyInfo::is_https() const {
  return !servers_.empty() && servers_.front().is_https();
}
bool ovProxyInfo::is_socks() const {
  return !servers_.empty() && servers_.front().is_socks();
}

std::string ovProxyInfo::ToPacString() const {
  std::string out;
  for (const ovProxyServer& server : servers_) {
    if (!out.empty()) out += "; ";
    out += server.ToPacString();
  }
  return out;
}

}  // namespace OVProxy
