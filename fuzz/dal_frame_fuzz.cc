// The bus's frame reader on arbitrary bytes: it never crashes, never hands
// out a frame that breaks the limits, and every frame it hands out encodes
// back to the bytes it came from. The first byte picks how the input is cut
// into reads, as a socket would cut it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "nsdal/dal_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 64;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;
  // A small limit, so that inputs can reach it.
  ns_dal::FrameReader reader(4096);
  std::string consumed;
  bool failed = false;
  for (std::size_t at = 0; at < length && !failed; at += chunk) {
    const std::size_t n = length - at < chunk ? length - at : chunk;
    reader.Feed(bytes + at, n);
    ns_dal::Frame frame;
    std::string error;
    for (;;) {
      const auto result = reader.Next(&frame, &error);
      if (result == ns_dal::FrameReader::Result::kNeedMore) break;
      if (result == ns_dal::FrameReader::Result::kError) {
        if (error.empty()) std::abort();
        failed = true;
        break;
      }
      if (frame.mode_id.empty() || frame.mode_id.size() > ns_dal::kMaxIdBytes ||
          frame.field_id.size() > ns_dal::kMaxIdBytes) {
        std::abort();
      }
      auto encoded = ns_dal::EncodeFrame(frame, 4096);
      if (!encoded) std::abort();
      consumed += *encoded;
    }
  }
  // What was handed out is exactly the start of the input.
  if (std::string(bytes, consumed.size() <= length ? consumed.size() : length) != consumed) {
    std::abort();
  }
  return 0;
}
