#include "onetxfer/oxfer_response_headers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace oXfer {
namespace {

TEST(ResponseHeadersTest, LastResponseStatusAndValidatorsWin) {
  const struct {
    std::vector<std::string> lines;
    int status;
    const char* etag;
    const char* last_modified;
  } cases[] = {
      {{"HTTP/1.1 200 OK\r\n", "ETag: \"a\"\r\n", "Last-Modified: Mon, 01 Jan 2024\r\n"},
       200,
       "\"a\"",
       "Mon, 01 Jan 2024"},
      {{"HTTP/2 304\r\n", "etag:\t W/\"b\" \r\n"}, 304, "W/\"b\"", ""},
      // A redirect's validators do not carry over to the final response.
      {{"HTTP/1.1 302 Found\r\n", "ETag: \"r\"\r\n", "HTTP/1.1 200 OK\r\n"}, 200, "", ""},
      {{"HTTP/1.1 20 OK\r\n", "HTTP/1.1 2000\r\n", "HTTPS/1.1 200\r\n"}, 0, "", ""},
      {{"HTTP/1.1 200 OK\r\n", "ETag " + std::string("\"x\"") + "\r\n", ":\r\n"}, 200, "", ""},
      {{"HTTP/1.1 200 OK\r\n", "ETag: " + std::string(2000, 'e') + "\r\n"}, 200, "", ""},
      {{"HTTP/1.1 200 OK\r\n", "ETag: \"a\rX-Evil: 1\"\r\n", "Last-Modified: a\x01b\r\n"},
       200,
       "",
       ""},
  };
  for (const auto& c : cases) {
    ResponseHeaders headers;
    for (const std::string& line : c.lines) headers.AddLine(line);
    EXPECT_EQ(headers.status, c.status) << c.lines[0];
    EXPECT_EQ(headers.etag, c.etag) << c.lines[0];
    EXPECT_EQ(headers.last_modified, c.last_modified) << c.lines[0];
  }
}

}  // namespace
}  // namespace oXfer
