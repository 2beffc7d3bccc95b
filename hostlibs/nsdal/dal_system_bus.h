// The process's own bus, which IPCHelper makes on first use: UnixDalBus
// over Unix sockets, PipeDalBus over named pipes on Windows. Both offer
// CreateFromEnvironment(std::string*).
#pragma once

#if defined(_WIN32)
#include "nsdal/pipe_dal_bus.h"
#else
#include "nsdal/unix_dal_bus.h"
#endif

namespace ns_dal {

#if defined(_WIN32)
using SystemDalBus = PipeDalBus;
#else
using SystemDalBus = UnixDalBus;
#endif

}  // namespace ns_dal
