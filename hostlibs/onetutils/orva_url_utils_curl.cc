#include "onetutils/orva_url_utils.h"

#include <curl/curl.h>

#include <memory>

namespace ONet {
namespace {

struct CurlUrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

// Reads one part; empty when the URL has none.
std::string GetPart(CURLU* handle, CURLUPart part, unsigned int flags = 0) {
  char* text = nullptr;
  if (curl_url_get(handle, part, &text, flags) != CURLUE_OK || text == nullptr) return {};
  std::string out(text);
  curl_free(text);
  return out;
}

CurlUrl Parse(const std::string& url) {
  CurlUrl handle(curl_url());
  if (!handle) return nullptr;
  if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    return nullptr;
  }
  return handle;
}

class CurlUrlUtils final : public IOrvaUrlUtils {
 public:
  std::string GetLogForm(const std::string& url) override {
    CurlUrl handle = Parse(url);
    if (!handle) return "*****";
    std::string out =
        GetPart(handle.get(), CURLUPART_SCHEME) + "://" + GetPart(handle.get(), CURLUPART_HOST);
    const std::string port = GetPart(handle.get(), CURLUPART_PORT);
    if (!port.empty()) out += ":" + port;
    const std::string path = GetPart(handle.get(), CURLUPART_PATH);
    if ((!path.empty() && path != "/") || !GetPart(handle.get(), CURLUPART_QUERY).empty() ||
        !GetPart(handle.get(), CURLUPART_FRAGMENT).empty()) {
      out += "/*****";
    }
    return out;
  }

  int ParseUrl(const std::string& url, std::string& scheme, std::string& host, std::string& port,
               std::string& path) override {
    CurlUrl handle = Parse(url);
    if (!handle) return 0;
    std::string parsed_host = GetPart(handle.get(), CURLUPART_HOST);
    if (parsed_host.empty()) return 0;
    scheme = GetPart(handle.get(), CURLUPART_SCHEME);
    host = std::move(parsed_host);
    port = GetPart(handle.get(), CURLUPART_PORT);
    path = GetPart(handle.get(), CURLUPART_PATH);
    const std::string query = GetPart(handle.get(), CURLUPART_QUERY);
    if (!query.empty()) path += "?" + query;
    const std::string fragment = GetPart(handle.get(), CURLUPART_FRAGMENT);
    if (!fragment.empty()) path += "#" + fragment;
    return 1;
  }
};

}  // namespace

IOrvaUrlUtils& SystemOrvaUrlUtils() {
  static CurlUrlUtils utils;
  return utils;
}

}  // namespace ONet
