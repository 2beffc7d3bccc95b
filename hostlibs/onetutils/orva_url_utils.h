// The network utilities' URL utility: parsing a URL into its parts and the
// log form of a URL, which keeps scheme, host and port and masks the rest.
//
// GetOrvaUrlUtils answers the process-wide utility object, or null when the
// library is not available. Tests replace it (or make it null) with
// OverrideOrvaUrlUtilsForTesting.
//
// Thread-safety: the object is stateless; every operation may be called from
// any thread.
#pragma once

#include <optional>
#include <string>

namespace ONet {

class IOrvaUrlUtils {
 public:
  virtual ~IOrvaUrlUtils() = default;

  // The URL as it may be written to a log: "scheme://host[:port]", followed by
  // "/*****" when the URL has a path other than "/", a query or a fragment.
  // User information is dropped. "*****" when the URL does not parse.
  virtual std::string GetLogForm(const std::string& url) = 0;

  // Splits an absolute URL. Returns non-zero on success; the host keeps the
  // brackets of an IPv6 literal and its letter case; the port is empty when the
  // URL names none; the path includes query and fragment.
  virtual int ParseUrl(const std::string& url, std::string& scheme, std::string& host,
                       std::string& port, std::string& path) = 0;
};

IOrvaUrlUtils* GetOrvaUrlUtils();

// The platform's own utility (libcurl's URL API on Linux, a reader of our
// own on Windows), whatever a test installed.
IOrvaUrlUtils& SystemOrvaUrlUtils();

// Replaces what GetOrvaUrlUtils answers (nullptr included); nullopt restores
// the real utility.
void OverrideOrvaUrlUtilsForTesting(std::optional<IOrvaUrlUtils*> utils);

}  // namespace ONet
