// The Windows operating-system layer against the real system: files in a
// temporary folder, the process's own environment.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "ovtest/scoped_temp_dir.h"
#include "platform/os/ov_os.h"

namespace ovplatform {
namespace {

std::wstring Wide(const std::string& utf8) {
  return Utf8ToWide(utf8).value();
}

// A fresh folder; names and texts are UTF-8 and reach the system as UTF-16.
struct TempFolder : ovtest::ScopedTempDir {
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string full = JoinPath(path(), name);
    HANDLE file = CreateFileW(Wide(full).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << full;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return full;
  }
  std::string Mkdir(const std::string& name) const {
    const std::string full = JoinPath(path(), name);
    CreateDirectoryW(Wide(full).c_str(), nullptr);
    return full;
  }
};

// Sets a variable of the process (nullptr: unsets it) and puts the old one back.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
    wchar_t old[32767];
    const DWORD got = GetEnvironmentVariableW(name, old, 32767);
    if (got > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND) old_ = std::wstring(old, got);
    SetEnvironmentVariableW(name, value);
  }
  ~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr); }

 private:
  std::wstring name_;
  std::optional<std::wstring> old_;
};

TEST(WindowsOsTest, FilesAndFolders) {
  TempFolder folder;
  const std::string ten = folder.Write("ten.txt", "0123456789");
  const std::string empty = folder.Write("empty.txt", "");
  // "é" and "€" in the name: the UTF-8 path must reach the system as UTF-16.
  const std::string named = folder.Write("\xC3\xA9-\xE2\x82\xAC.txt", "named");
  const std::string sub = folder.Mkdir("Sub");
  const std::string missing = JoinPath(folder.path(), "missing");
  const struct {
    const char* name;
    std::string path;
    size_t bound;
    std::optional<std::string> expected;
  } cases[] = {
      {"exactly the bound", ten, 10, "0123456789"},
      {"one byte over the bound", ten, 9, std::nullopt},
      {"empty file, zero bound", empty, 0, ""},
      {"non-ASCII name", named, 100, "named"},
      {"missing file", missing, 100, std::nullopt},
      {"a folder", sub, 100, std::nullopt},
      {"the null device by name", "NUL", 100, std::nullopt},
      {"the device namespace", "\\\\.\\NUL", 100, std::nullopt},
      {"not UTF-8", folder.path() + "\\\xFF.txt", 100, std::nullopt},
      {"empty path", "", 100, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(GetOs().ReadFile(c.path, c.bound), c.expected) << c.name;

  for (const auto& [path, exists, directory] :
       {std::tuple{ten, true, false}, std::tuple{sub, true, true},
        std::tuple{sub + "\\", true, true}, std::tuple{missing, false, false},
        std::tuple{std::string(), false, false}}) {
    EXPECT_EQ(GetOs().FileExists(path), exists) << path;
    EXPECT_EQ(GetOs().IsDirectory(path), directory) << path;
  }

  // Names only, sorted bytewise (not in the system's case-blind order).
  const std::vector<std::string> names = {"Sub", "empty.txt", "ten.txt",
                                          "\xC3\xA9-\xE2\x82\xAC.txt"};
  for (const std::string& path : {folder.path(), folder.path() + "\\", folder.path() + "/"}) {
    EXPECT_EQ(GetOs().ListDirectory(path), names) << path;
  }
  EXPECT_TRUE(GetOs().ListDirectory(missing).empty());
  EXPECT_TRUE(GetOs().ListDirectory(ten).empty());
}

TEST(WindowsOsTest, ModifiedTimeIsNanosecondsSince1970) {
  TempFolder folder;
  const std::string file = folder.Write("t", "x");
  // FILETIME ticks (100 ns since 1601) and what they are since 1970.
  const std::pair<uint64_t, int64_t> cases[] = {
      {116444736000000000ULL, 0},
      {116444736000000000ULL + 10000000ULL * 1000000000ULL + 1, 1000000000LL * 1000000000LL + 100},
      {116444736000000000ULL - 10000000ULL, -1000000000LL},
  };
  for (const auto& [ticks, nanoseconds] : cases) {
    HANDLE handle = CreateFileW(Wide(file).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    EXPECT_TRUE(SetFileTime(handle, nullptr, nullptr, &time));
    CloseHandle(handle);
    EXPECT_EQ(GetOs().ModifiedTimeNs(file), nanoseconds) << ticks;
  }
  EXPECT_FALSE(GetOs().ModifiedTimeNs(JoinPath(folder.path(), "none")).has_value());
}

TEST(WindowsOsTest, EnvironmentAndUser) {
  // A value longer than the first buffer must grow it; set-but-empty is not unset.
  const std::wstring long_value(5000, L'v');
  for (const wchar_t* value : {L"caf\u00e9", long_value.c_str(), L""}) {
    ScopedEnv set(L"OVOS_TEST_VAR", value);
    EXPECT_EQ(GetOs().GetEnv("OVOS_TEST_VAR"), WideToUtf8(value));
  }
  EXPECT_EQ(GetOs().GetEnv("OVOS_TEST_VAR"), std::nullopt);
  EXPECT_EQ(GetOs().GetEnv(""), std::nullopt);
  EXPECT_EQ(GetOs().GetEnv("\xFF"), std::nullopt);

  // Home is USERPROFILE, else the shell's profile folder.
  {
    ScopedEnv set(L"USERPROFILE", L"C:\\Users\\Somebody");
    EXPECT_EQ(GetOs().HomeDirectory(), "C:\\Users\\Somebody");
  }
  ScopedEnv unset(L"USERPROFILE", nullptr);
  EXPECT_TRUE(GetOs().IsDirectory(GetOs().HomeDirectory())) << GetOs().HomeDirectory();
  // 0 would mean the SID was not read.
  EXPECT_NE(GetOs().UserId(), 0u);
  EXPECT_EQ(GetOs().UserId(), GetOs().UserId());
}

TEST(WindowsOsTest, TextConversionRefusesBrokenInputAndPathsJoin) {
  // "€" and a character beyond the basic plane (a surrogate pair).
  const std::string utf8 = "\xE2\x82\xAC\xF0\x9D\x84\x9E";
  EXPECT_EQ(Utf8ToWide(utf8), std::wstring(L"\u20ac\U0001D11E"));
  EXPECT_EQ(WideToUtf8(L"\u20ac\U0001D11E"), utf8);
  EXPECT_EQ(Utf8ToWide("\xC3"), std::nullopt);                            // truncated sequence
  EXPECT_EQ(WideToUtf8(std::wstring(1, wchar_t(0xD800))), std::nullopt);  // lone surrogate
  EXPECT_EQ(AnsiToUtf8("plain"), "plain");
  // Paths join with a backslash unless the first part ends in a separator.
  const std::pair<const char*, const char*> joins[] = {
      {"", "a"}, {"C:\\x", "C:\\x\\a"}, {"C:\\x\\", "C:\\x\\a"}, {"C:/x/", "C:/x/a"}};
  for (const auto& [first, joined] : joins) EXPECT_EQ(JoinPath(first, "a"), joined);
}

}  // namespace
}  // namespace ovplatform
