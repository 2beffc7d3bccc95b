// Reading the response header lines of an HTTP transfer: the status of each
// response (a redirect produces several) and the two validators of the last.
//
// Lines come as the server sent them (with or without CR LF). A status line
// ("HTTP/1.1 200 OK", "HTTP/2 304") starts a new response and forgets the
// validators of the previous one. Header names are matched without regard
// to case; values are trimmed of spaces and tabs. Anything malformed is
// ignored. Bounded: a value longer than kMaxValidatorBytes, or one holding a
// control character, is dropped.
//
// Thread-safety: a plain value; one transfer's thread uses it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace oXfer {

struct ResponseHeaders {
  static constexpr std::size_t kMaxValidatorBytes = 1024;

  int status = 0;             // of the current response; 0 before a status line
  std::string etag;           // "ETag"
  std::string last_modified;  // "Last-Modified"

  void AddLine(std::string_view line);
};

}  // namespace oXfer
