// PipeDalBus: the data-access layer's bus (StreamDalBus, dal_stream_bus.h)
// over Windows named pipes.
//
// Names: every process that joins creates one listening pipe,
// \\.\pipe\orvaproxy.<user's SID>.<pid>.<n>.pipe, so each user has a name
// space of their own. The pipe is made with FILE_FLAG_FIRST_PIPE_INSTANCE
// (no one can hold the name before us and pass for this process),
// PIPE_REJECT_REMOTE_CLIENTS, and a security descriptor whose DACL grants the
// current user alone (no Everyone, no network logons).
//
// Finding peers: listing \\.\pipe\ does not work under Wine, so each process
// also keeps a rendezvous file "<pid>.<n>.pipe" in the user's directory
// (%LOCALAPPDATA%\OrvaProxy\bus, made with the same user-only DACL). The file
// appears once the pipe listens and is opened with FILE_FLAG_DELETE_ON_CLOSE
// and no sharing, so it goes with the process however the process ends,
// and no one can delete it while the process lives. A name whose pipe is
// gone (the file outlived its process) is deleted by the next sender.
//
// Who may talk, as SO_PEERCRED does on Linux: the receiver reads the
// connecting process's token (GetNamedPipeClientProcessId, OpenProcessToken)
// and disconnects any other user; the sender reads the listening process's
// token (GetNamedPipeServerProcessId) before it writes anything, and opens
// pipes at identification level only, so a listener cannot act as us.
//
// I/O: the sender's connections are overlapped client handles with one
// write in flight (a peer that stops reading leaves it pending, which the
// bus counts as a stall); the receive thread waits on an I/O completion port
// for new connections (a few listening instances at once, so joiners do not
// find the pipe busy) and reads.
//
// Threads, limits and lifetime: StreamDalBus.
#pragma once

#include <memory>
#include <string>

#include "nsdal/dal_stream_bus.h"

namespace ns_dal {

// Names an absolute rendezvous directory ("C:\\..."), used instead of the
// one under %LOCALAPPDATA%: processes that share it form a bus of their own.
inline constexpr char kBusDirectoryVariable[] = "ORVAPROXY_BUS_DIR";

class PipeDalBus final : public StreamDalBus {
 public:
  // `options.directory`: the rendezvous directory (made when missing).
  // nullptr (and `error`) when the user's SID cannot be read, the directory
  // cannot be made or the pipe cannot be created.
  static std::unique_ptr<PipeDalBus> Create(const DalBusOptions& options, std::string* error);
  // The rendezvous directory under %LOCALAPPDATA% (or kBusDirectoryVariable).
  static std::unique_ptr<PipeDalBus> CreateFromEnvironment(std::string* error);

  // The full name of the pipe of a peer's name ("1234.0.pipe"), for this
  // process's user.
  static std::string PipePath(const std::string& name);

  using StreamDalBus::StreamDalBus;
};

}  // namespace ns_dal
