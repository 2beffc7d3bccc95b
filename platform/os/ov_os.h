// The operating system as the module sees it: environment variables, the
// user's identity and folders, and bounded reads of small files. Every part
// of the module reads these through here, so a test (or the Windows build)
// replaces one object instead of patching calls all over the tree.
//
// Thread: every operation may be called from any thread. GetOs() answers the
// process-wide instance; OverrideOsForTesting swaps it (a test installs its
// fake before the code under test starts and removes it after it stopped).
//
// Windows (ov_os_win.cc): paths and texts stay UTF-8 and meet the system
// through the wide-character calls; HomeDirectory is %USERPROFILE%, else the
// shell's profile folder; UserId is a hash of the user's SID (below);
// JoinPath uses '\\' (and takes '/' in `base` as a separator too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ovplatform {

class Os {
 public:
  virtual ~Os() = default;
  // nullopt when the variable is not set (set but empty answers "").
  virtual std::optional<std::string> GetEnv(const std::string& name) = 0;
  // The user's home folder ($HOME, else the password database); "" if none.
  virtual std::string HomeDirectory() = 0;
  // Tells the user's own names and files apart from other users'. POSIX: the
  // uid. Windows: the 32-bit FNV-1a hash of the process user's SID string
  // ("S-1-5-21-..."), because a SID is the user's identity across logons and
  // sessions (a session id is shared by the services of several accounts and
  // changes at each logon); a collision only merges names, access is still
  // decided by the system's own checks. 0 when the SID cannot be read.
  virtual uint32_t UserId() = 0;
  // Whole file when it is a regular file of at most `maxBytes`; nullopt when
  // it is missing, unreadable, not a regular file or larger.
  virtual std::optional<std::string> ReadFile(const std::string& path, size_t maxBytes) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool IsDirectory(const std::string& path) = 0;
  // Names (not paths) of the entries of a folder, sorted; empty on failure.
  virtual std::vector<std::string> ListDirectory(const std::string& path) = 0;
  // Last modification of a file, in nanoseconds since 1970-01-01 UTC; nullopt
  // when it cannot be read. Not pure so that existing fakes need not
  // implement it.
  virtual std::optional<int64_t> ModifiedTimeNs(const std::string& path) {
    (void)path;
    return std::nullopt;
  }
  // Where the machine's administrator keeps settings for every user: /etc
  // on POSIX; on Windows the common application data (%ProgramData%, from
  // SHGetFolderPathW(CSIDL_COMMON_APPDATA), else the ProgramData variable).
  // "" when there is none. Not pure so that existing fakes need not
  // implement it: they answer the system's.
  virtual std::string MachineSettingsDirectory();
};

// The real operating system unless a test installed its own.
Os& GetOs();
// nullptr restores the real one. The caller keeps `os` alive while installed.
void OverrideOsForTesting(Os* os);

// Joins two path parts with this platform's separator.
std::string JoinPath(const std::string& base, const std::string& name);

#if defined(_WIN32)
// UTF-8 <-> UTF-16 for the wide-character calls of every Windows layer;
// nullopt when the input is not valid UTF-8 / UTF-16 (a lone surrogate),
// because a path guessed from a replacement character names another file.
std::optional<std::wstring> Utf8ToWide(const std::string& text);
std::optional<std::string> WideToUtf8(const std::wstring& text);
// Text of the ANSI code page (what the "A" calls answer) as UTF-8.
std::optional<std::string> AnsiToUtf8(const std::string& text);
#endif

}  // namespace ovplatform
