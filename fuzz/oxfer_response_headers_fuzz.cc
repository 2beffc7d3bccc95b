// Response header lines: whatever a server sends, the status is 0 or a
// three-digit code, and the validators kept are bounded and hold no control
// character (they are sent back as header values).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "onetxfer/oxfer_response_headers.h"

namespace {

void CheckValidator(std::string_view value) {
  if (value.size() > oXfer::ResponseHeaders::kMaxValidatorBytes) std::abort();
  for (char c : value) {
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  oXfer::ResponseHeaders headers;
  // One line per "\n", as libcurl hands them over.
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
    headers.AddLine(text.substr(0, length));
    text.remove_prefix(length);
    if (headers.status != 0 && (headers.status < 100 || headers.status > 999)) std::abort();
    CheckValidator(headers.etag);
    CheckValidator(headers.last_modified);
  }
  return 0;
}
