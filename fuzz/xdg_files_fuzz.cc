// mimeapps.list and desktop-file texts: handler ids are never empty and
// reading a program never crashes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/browser/ov_default_browser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& id : ovplatform::DefaultHandlersInMimeapps(text, "x-scheme-handler/http")) {
    if (id.empty()) std::abort();
  }
  (void)ovplatform::DesktopFileProgram(text);
  return 0;
}
