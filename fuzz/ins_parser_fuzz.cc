// Internet-settings files: parsing never crashes, a built proxy string never
// outgrows its buffer, and disabled files yield nothing.
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
  if (!parser.use_same() && parser.proxy_string().size() > ins_parser_t::kMaxProxyString) {
    std::abort();
  }
  for (const std::string& entry : OVProxy::split_bypass_list(parser.bypass_string())) {
    if (entry.empty()) std::abort();
  }
  return 0;
}
