// rtnetlink message buffers: applying any bytes, to an empty state and again
// to the state it produced, never crashes or reads out of bounds.
#include <cstdint>
#include <cstdlib>

#include "platform/netchange/ov_netlink_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ovplatform::NetlinkState state;
  state.Apply(data, size);
  ovplatform::NetlinkState again = state;
  (void)again.Apply(data, size);
  return 0;
}
