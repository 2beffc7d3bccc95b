// Toggle texts: ParseIntFromString agrees with the C library's decimal
// conversion wherever that conversion succeeds within 32 bits, and gives 0
// otherwise; ParseBoolFromString accepts exactly its four spellings.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "OrvaProxy/ov_proxy_enterprise_adapter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using OVProxy::ovProxyEnterpriseAdapter;
  const std::string text(reinterpret_cast<const char*>(data), size);

  // The reference reads up to the first NUL, as a C string does.
  const std::string c_text(text.c_str());
  char* end = nullptr;
  errno = 0;
  const long long reference = std::strtoll(c_text.c_str(), &end, 10);
  const bool converted =
      end != c_text.c_str() && errno == 0 && reference >= INT32_MIN && reference <= INT32_MAX;
  // strtoll also skips the C locale's white space and reads a sign, exactly
  // the accepted prefix; text after a NUL never matters to it.
  if (c_text.size() == text.size()) {
    const int32_t parsed = ovProxyEnterpriseAdapter::ParseIntFromString(text);
    if (parsed != (converted ? static_cast<int32_t>(reference) : 0)) std::abort();
  }

  const bool yes = text == "true" || text == "True" || text == "TRUE" || text == "1";
  if (ovProxyEnterpriseAdapter::ParseBoolFromString(text) != yes) std::abort();
  return 0;
}
