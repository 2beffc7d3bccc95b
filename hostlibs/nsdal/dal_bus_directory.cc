#include "nsdal/dal_bus_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace ns_dal {
namespace {

std::string ErrnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool MakeDirectory(const std::string& path, std::string* error) {
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  if (error) *error = ErrnoText("mkdir", path);
  return false;
}

bool OwnedDirectory(const std::string& path, uint32_t uid, struct stat* info, std::string* error) {
  if (::lstat(path.c_str(), info) != 0) {
    if (error) *error = ErrnoText("lstat", path);
    return false;
  }
  if (!S_ISDIR(info->st_mode)) {
    if (error) *error = path + " is not a directory";
    return false;
  }
  if (info->st_uid != uid) {
    if (error) *error = path + " belongs to uid " + std::to_string(info->st_uid);
    return false;
  }
  return true;
}

// The runtime directory may be reached through a link (it is named by the
// environment), but only its owner may change its names: otherwise another
// user could swap our directory under it.
bool RuntimeDirectoryIsSafe(const std::string& path, uint32_t uid) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid &&
         (info.st_mode & 022) == 0;
}

}  // namespace

bool IsPrivateDirectory(const std::string& path, uint32_t uid, std::string* error) {
  struct stat info {};
  if (!OwnedDirectory(path, uid, &info, error)) return false;
  if ((info.st_mode & 077) != 0) {
    if (error) *error = path + " is open to group or others";
    return false;
  }
  return true;
}

std::optional<std::string> EnsureBusDirectory(const std::optional<std::string>& xdg_runtime_dir,
                                              uint32_t uid, const std::string& tmp_root,
                                              std::string* error) {
  if (xdg_runtime_dir && !xdg_runtime_dir->empty() && xdg_runtime_dir->front() == '/' &&
      RuntimeDirectoryIsSafe(*xdg_runtime_dir, uid)) {
    const std::string path = *xdg_runtime_dir + "/orvaproxy";
    if (!MakeDirectory(path, error)) return std::nullopt;
    struct stat info {};
    if (!OwnedDirectory(path, uid, &info, error)) return std::nullopt;
    if ((info.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
      if (error) *error = ErrnoText("chmod", path);
      return std::nullopt;
    }
    return path;
  }
  const std::string path = tmp_root + "/orvaproxy-" + std::to_string(uid);
  if (!MakeDirectory(path, error)) return std::nullopt;
  struct stat info {};
  if (!OwnedDirectory(path, uid, &info, error)) return std::nullopt;
  if ((info.st_mode & 0777) != 0700) {
    if (error) *error = path + " does not have mode 0700";
    return std::nullopt;
  }
  return path;
}

}  // namespace ns_dal
