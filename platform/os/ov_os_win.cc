#include <windows.h>
// After windows.h, which they need.
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <utility>
#include <vector>

#include "platform/os/ov_os.h"

namespace ovplatform {
namespace {

// FILETIME counts 100 ns steps since 1601-01-01; this many lie before 1970.
constexpr int64_t kFileTimeAt1970 = 116444736000000000LL;

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

class FindHandle {
 public:
  explicit FindHandle(HANDLE find) : find_(find) {}
  ~FindHandle() {
    if (valid()) FindClose(find_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  HANDLE get() const { return find_; }
  bool valid() const { return find_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE find_;
};

// "\\.\" names devices and pipes: opening one may block or talk to a server,
// and none of them is a file the module reads.
bool IsDevicePath(const std::wstring& path) {
  return path.size() >= 4 && (path[0] == L'\\' || path[0] == L'/') &&
         (path[1] == L'\\' || path[1] == L'/') && path[2] == L'.' &&
         (path[3] == L'\\' || path[3] == L'/');
}

uint32_t Fnv1a(const std::string& text) {
  uint32_t hash = 2166136261u;
  for (const unsigned char c : text) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash;
}

std::string SidStringOfProcessUser() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  const Handle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  // TOKEN_USER holds pointers into the same buffer, so it must be aligned.
  std::vector<uint64_t> buffer((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(user->User.Sid, &text)) return {};
  std::optional<std::string> sid = WideToUtf8(text);
  LocalFree(text);
  return sid.value_or(std::string());
}

class WindowsOs final : public Os {
 public:
  std::optional<std::string> GetEnv(const std::string& name) override {
    const auto wide_name = Utf8ToWide(name);
    if (name.empty() || !wide_name || wide_name->find(L'\0') != std::wstring::npos) {
      return std::nullopt;
    }
    std::wstring value(256, L'\0');
    for (;;) {
      // A variable set to "" also answers 0, without an error of its own.
      SetLastError(ERROR_SUCCESS);
      const DWORD got = GetEnvironmentVariableW(wide_name->c_str(), value.data(),
                                                static_cast<DWORD>(value.size()));
      if (got == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
      }
      if (got < value.size()) {
        value.resize(got);
        return WideToUtf8(value);
      }
      // Too small: `got` is the size needed, with the terminator. The value
      // may grow in between, hence the loop.
      value.resize(got);
    }
  }

  std::string HomeDirectory() override {
    if (auto profile = GetEnv("USERPROFILE"); profile && !profile->empty()) return *profile;
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, folder))) {
      return {};
    }
    return WideToUtf8(folder).value_or(std::string());
  }

  uint32_t UserId() override {
    // The process's user does not change; reading the token once is enough.
    static const uint32_t id = [] {
      const std::string sid = SidStringOfProcessUser();
      return sid.empty() ? 0u : Fnv1a(sid);
    }();
    return id;
  }

  std::optional<std::string> ReadFile(const std::string& path, size_t maxBytes) override {
    const auto wide = Utf8ToWide(path);
    if (!wide || wide->empty() || IsDevicePath(*wide)) return std::nullopt;
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open; sharing
    // everything keeps a writer (or a deleter) of the file unhindered.
    const Handle file(CreateFileW(wide->c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) return std::nullopt;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > maxBytes) {
      return std::nullopt;
    }
    std::string text;
    char chunk[16384];
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return std::nullopt;
      if (got == 0) break;
      // The file grew past the bound meanwhile.
      if (text.size() + got > maxBytes) return std::nullopt;
      text.append(chunk, got);
    }
    return text;
  }

  bool FileExists(const std::string& path) override {
    const auto wide = Utf8ToWide(path);
    return wide && !wide->empty() && GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  bool IsDirectory(const std::string& path) override {
    const auto wide = Utf8ToWide(path);
    if (!wide || wide->empty()) return false;
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  std::vector<std::string> ListDirectory(const std::string& path) override {
    std::vector<std::string> names;
    auto pattern = Utf8ToWide(path);
    if (!pattern || pattern->empty()) return names;
    if (pattern->back() != L'\\' && pattern->back() != L'/') pattern->push_back(L'\\');
    pattern->push_back(L'*');
    WIN32_FIND_DATAW entry{};
    const FindHandle find(FindFirstFileExW(pattern->c_str(), FindExInfoBasic, &entry,
                                           FindExSearchNameMatch, nullptr, 0));
    if (!find.valid()) return names;
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      // A name that is not valid UTF-16 could not be opened again by the
      // caller through UTF-8, so it is left out rather than mangled.
      if (auto utf8 = WideToUtf8(name)) names.push_back(std::move(*utf8));
    } while (FindNextFileW(find.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
  }

  std::optional<int64_t> ModifiedTimeNs(const std::string& path) override {
    const auto wide = Utf8ToWide(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!wide || wide->empty() ||
        !GetFileAttributesExW(wide->c_str(), GetFileExInfoStandard, &data)) {
      return std::nullopt;
    }
    const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime;
    if (ticks > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    const int64_t since1970 = static_cast<int64_t>(ticks) - kFileTimeAt1970;
    // Nanoseconds in 64 bits reach from 1678 to 2262.
    constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 100;
    if (since1970 > kLimit || since1970 < -kLimit) return std::nullopt;
    return since1970 * 100;
  }
};

std::atomic<Os*>& Installed() {
  static std::atomic<Os*> os{nullptr};
  return os;
}

}  // namespace

std::optional<std::wstring> Utf8ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return std::nullopt;
  const int size = static_cast<int>(text.size());
  const int needed =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), needed) !=
      needed) {
    return std::nullopt;
  }
  return wide;
}

std::optional<std::string> WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return std::nullopt;
  const int size = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size, nullptr,
                                         0, nullptr, nullptr);
  if (needed <= 0) return std::nullopt;
  std::string utf8(static_cast<size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size, utf8.data(), needed,
                          nullptr, nullptr) != needed) {
    return std::nullopt;
  }
  return utf8;
}

std::optional<std::string> AnsiToUtf8(const std::string& text) {
  if (text.empty()) return std::string();
  if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return std::nullopt;
  const int size = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), needed) != needed) {
    return std::nullopt;
  }
  return WideToUtf8(wide);
}

std::string Os::MachineSettingsDirectory() {
  wchar_t folder[MAX_PATH] = {};
  if (SUCCEEDED(
          SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    if (auto utf8 = WideToUtf8(folder); utf8 && !utf8->empty()) return *utf8;
  }
  return GetEnv("ProgramData").value_or(std::string());
}

Os& GetOs() {
  if (Os* os = Installed().load(std::memory_order_acquire)) return *os;
  static WindowsOs real;
  return real;
}

void OverrideOsForTesting(Os* os) {
  Installed().store(os, std::memory_order_release);
}

std::string JoinPath(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  if (base.back() == '\\' || base.back() == '/') return base + name;
  return base + "\\" + name;
}

}  // namespace ovplatform
