// The per-user directory that holds the bus's sockets.
//
// $XDG_RUNTIME_DIR/orvaproxy when XDG_RUNTIME_DIR names an absolute path of
// a directory owned by the user that no one else may write to:
// created with mode 0700, and tightened to 0700 when it exists with wider
// rights, as long as it is a real directory owned by the user. Without
// such XDG_RUNTIME_DIR: <tmp_root>/orvaproxy-<uid>, created 0700, and used only
// when it is a real directory (not a link) owned by the user with mode
// exactly 0700, because anyone can create names under /tmp.
//
// Thread: callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ns_dal {

std::optional<std::string> EnsureBusDirectory(const std::optional<std::string>& xdg_runtime_dir,
                                              uint32_t uid, const std::string& tmp_root,
                                              std::string* error);

// Whether `path` is a real directory owned by `uid` with no rights for
// group or others.
bool IsPrivateDirectory(const std::string& path, uint32_t uid, std::string* error);

}  // namespace ns_dal
