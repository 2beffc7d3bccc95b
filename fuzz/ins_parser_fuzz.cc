// Internet-settings files: parsing never crashes, the proxy and bypass
// strings never outgrow their bounds, disabled files yield nothing, and
// matching a host against the bypass list ends.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaProxy/oPACParser/ins_bypass_list.h"
#include "OrvaProxy/oPACParser/ins_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using OVProxy::ins_parser_t;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ins_parser_t parser(text);
  if (!parser.enabled() && (!parser.proxy_string().empty() || !parser.bypass_string().empty())) {
    std::abort();
  }
  if (parser.proxy_string().size() > ins_parser_t::kMaxProxyString ||
      parser.bypass_string().size() > ins_parser_t::kMaxBypassString) {
    std::abort();
  }
  const std::vector<std::string> entries = OVProxy::split_bypass_list(parser.bypass_string());
  for (const std::string& entry : entries) {
    if (entry.empty()) std::abort();
  }
  OVProxy::match_bypass_list(entries, "www.corp.example");
  return 0;
}
