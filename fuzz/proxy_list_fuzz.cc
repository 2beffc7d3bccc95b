// Proxy list texts and resolver answers: parsing never crashes, every parsed
// server is valid, and the PAC form of an answer reads back to the same
// answer.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tavbiz/ov_proxy_info.h"
#include "tavbiz/ov_proxy_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace OVProxy;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  ovProxyList list;
  list.Set(text);
  for (const ovProxyServer& server : list.servers()) {
    if (!server.isValid()) std::abort();
  }

  ovProxyInfo info;
  info.UseNamedProxy(text);
  for (const ovProxyServer& server : info.servers()) {
    if (!server.isValid()) std::abort();
  }
  ovProxyInfo again;
  again.UseNamedProxy(info.ToPacString());
  if (again != info) std::abort();
  return 0;
}
