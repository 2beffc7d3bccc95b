// UnixDalBus: the data-access layer's bus (StreamDalBus, dal_stream_bus.h)
// over Unix stream sockets.
//
// Layout: every process that joins binds one Unix stream socket,
// "<pid>.<n>.sock", in the per-user bus directory (dal_bus_directory.h). The
// socket is bound and listening under a temporary name first and then
// renamed into place, so a name a peer can see always accepts: a peer never
// takes a starting process for a dead one.
// A sender connects to each peer socket it finds there, checks that the
// listener belongs to the user (SO_PEERCRED), and writes length-framed
// messages (dal_frame.h); the receiver checks the connecting process's user
// id the same way and closes connections of other users. A socket whose
// connect() is refused belongs to a dead process and is deleted.
//
// Threads, limits and lifetime: StreamDalBus. The receive thread waits in
// poll() on the listening socket, every accepted connection and an eventfd
// that wakes it for the end.
#pragma once

#include <memory>
#include <string>

#include "nsdal/dal_stream_bus.h"

namespace ns_dal {

using UnixDalBusOptions = DalBusOptions;

class UnixDalBus final : public StreamDalBus {
 public:
  // nullptr (and `error`) when the directory is not private or the socket
  // cannot be bound.
  static std::unique_ptr<UnixDalBus> Create(const UnixDalBusOptions& options, std::string* error);
  // The directory from $XDG_RUNTIME_DIR (or /tmp) and the user's id.
  static std::unique_ptr<UnixDalBus> CreateFromEnvironment(std::string* error);

 private:
  using StreamDalBus::StreamDalBus;
};

}  // namespace ns_dal
