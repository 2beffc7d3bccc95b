// Firefox's data folder on Windows, below the user's roaming application
// data.
#include <windows.h>
// After windows.h, which they need.
#include <shlobj.h>
#include <shlwapi.h>

#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"
#include "platform/os/ov_os.h"

namespace OVProxy {

std::vector<std::string> FirefoxDataFolders() {
  char app_data[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, app_data))) {
    return {};
  }
  const std::string folder = std::string(app_data) + "\\Mozilla\\Firefox";
  if (!PathFileExistsA(folder.c_str())) return {};
  // The "A" calls speak the ANSI code page; the module's paths are UTF-8.
  auto utf8 = ovplatform::AnsiToUtf8(folder);
  if (!utf8) return {};
  return {*utf8};
}

}  // namespace OVProxy
