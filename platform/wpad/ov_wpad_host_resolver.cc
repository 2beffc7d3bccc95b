#include "platform/wpad/ov_wpad_host_resolver.h"

#include <netdb.h>
#include <sys/socket.h>

namespace ovplatform {
namespace {

class SystemWpadHostResolver final : public WpadHostResolver {
 public:
  std::vector<std::string> ResolveHost(const std::string& host) override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // Only ask for address families the machine can reach.
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    std::vector<std::string> addresses;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      char text[NI_MAXHOST];
      if (getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) == 0) {
        addresses.emplace_back(text);
      }
    }
    freeaddrinfo(found);
    return addresses;
  }
};

}  // namespace

std::shared_ptr<WpadHostResolver> MakeSystemWpadHostResolver() {
  return std::make_shared<SystemWpadHostResolver>();
}

}  // namespace ovplatform
