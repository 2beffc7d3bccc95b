// profiles.ini texts, with an installs.ini after the first NUL byte: the
// chosen profile always has a path.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const size_t nul = text.find('\0');
  const std::string_view installs =
      nul == std::string_view::npos ? std::string_view() : text.substr(nul + 1);
  const auto profile = OVProxy::ChooseFirefoxProfile(text.substr(0, nul), installs);
  if (profile && profile->path.empty()) std::abort();
  return 0;
}
