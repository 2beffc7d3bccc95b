// LocalPacServer: an HTTP server on 127.0.0.1 (a free port) serving PAC files
// the ways real servers do, for tests of the real transfer module. Paths:
//   /etag.pac, /lastmod.pac  kPacBody with ETag "v1" / Last-Modified
//                            kLastModified; 304 when the request repeats it
//   /empty.pac, /missing.pac  200 with no body; 404 with an error page
//   /exact.pac, /big.pac      1 MiB; 1 MiB + 1 byte (with Content-Length)
//   /big-chunked.pac          over 1 MiB, chunked (no length in advance)
//   /redirect.pac, /loop.pac, /to-file.pac  302 to /etag.pac, to itself,
//                            to file:///etc/hostname
//   /stall.pac               held until ReleaseStalls, then kPacBody
//   /not-modified.pac        304 to every request, validators or not
//   /script/<name>           what SetScript gave (404 before), ETag
//                            "<version>" changing with each SetScript; 304
//                            when the request repeats the current one
// Thread-safe; the server runs on threads of its own until destruction.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace ovtest {

class LocalPacServer {
 public:
  static constexpr const char* kPacBody =
      "function FindProxyForURL(url, host) { return \"PROXY proxy.corp:3128; DIRECT\"; }\n";
  static constexpr const char* kLastModified = "Wed, 21 Oct 2015 07:28:00 GMT";

  LocalPacServer();
  ~LocalPacServer();
  LocalPacServer(const LocalPacServer&) = delete;
  LocalPacServer& operator=(const LocalPacServer&) = delete;

  // "http://127.0.0.1:<port><path>"
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // Blocks until `count` requests for /stall.pac have arrived in all.
  void WaitForStalls(int count);
  void ReleaseStalls();
  // The validator headers of the last request that carried any.
  std::string last_if_none_match() const;
  std::string last_if_modified_since() const;
  // Serves `body` at "/script/<name>" from now on.
  void SetScript(const std::string& name, std::string body);
  // Requests for "/script/<name>" so far, and how many were answered 304.
  int script_requests(const std::string& name) const;
  int script_not_modified(const std::string& name) const;

 private:
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int stalls_ = 0;
  bool released_ = false;
  std::string if_none_match_;
  std::string if_modified_since_;
  struct Script {
    std::string body;
    int version = 0;
    int requests = 0;
    int not_modified = 0;
  };
  std::map<std::string, Script> scripts_;
};

}  // namespace ovtest
