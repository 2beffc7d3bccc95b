// profiles.ini texts: the chosen profile always has a path.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto profile = OVProxy::ChooseFirefoxProfile(text);
  if (profile && profile->path.empty()) std::abort();
  return 0;
}
