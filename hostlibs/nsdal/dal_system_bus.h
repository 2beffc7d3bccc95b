// The process's own bus, which IPCHelper makes on first use: UnixDalBus
// where Unix sockets carry the messages, PeerlessDalBus on Windows (why:
// peerless_dal_bus.h). Both offer CreateFromEnvironment(std::string*).
#pragma once

#if defined(_WIN32)
#include "nsdal/peerless_dal_bus.h"
#else
#include "nsdal/unix_dal_bus.h"
#endif

namespace ns_dal {

#if defined(_WIN32)
using SystemDalBus = PeerlessDalBus;
#else
using SystemDalBus = UnixDalBus;
#endif

}  // namespace ns_dal
