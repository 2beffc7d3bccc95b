#include <windows.h>
// After windows.h, which it needs.
#include <shlwapi.h>

#include "platform/browser/ov_default_browser.h"
#include "platform/os/ov_os.h"

namespace ovplatform {
namespace {

// A path fits in this; a longer answer is asked for again at its size.
constexpr DWORD kFirstBufferChars = 4096;

// The association's string for the "http" protocol's "open" verb; nullopt
// when the shell has none (or it is no valid UTF-16).
std::optional<std::string> HttpAssociation(ASSOCSTR what) {
  std::wstring buffer(kFirstBufferChars, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    // NOTRUNCATE: a short buffer is an error that tells the size needed,
    // rather than a cut path that would name another program.
    const HRESULT result = AssocQueryStringW(ASSOCF_IS_PROTOCOL | ASSOCF_NOTRUNCATE, what, L"http",
                                             L"open", buffer.data(), &size);
    if (result == E_POINTER && size > buffer.size()) {
      buffer.assign(size, L'\0');
      continue;
    }
    if (FAILED(result) || size == 0) return std::nullopt;
    // `size` counts the terminator.
    buffer.resize(wcsnlen(buffer.c_str(), size));
    if (buffer.empty()) return std::nullopt;
    return WideToUtf8(buffer);
  }
  return std::nullopt;
}

class ShellDefaultBrowserLocator final : public DefaultBrowserLocator {
 public:
  std::optional<DefaultBrowser> HttpHandler() override {
    auto program = HttpAssociation(ASSOCSTR_EXECUTABLE);
    if (!program) return std::nullopt;
    DefaultBrowser browser;
    browser.program = std::move(*program);
    browser.desktop_id = HttpAssociation(ASSOCSTR_PROGID).value_or(std::string());
    return browser;
  }
};

}  // namespace

DefaultBrowserLocator& SystemDefaultBrowserLocator() {
  static ShellDefaultBrowserLocator real;
  return real;
}

}  // namespace ovplatform
