// PacServer: serves one PAC text at `path` on 127.0.0.1 (a free port) while
// it lives, on a thread of its own, for the benchmarks that download scripts.
#pragma once

#include <httplib.h>

#include <string>
#include <thread>
#include <utility>

namespace ovbench {

class PacServer {
 public:
  explicit PacServer(std::string pac, std::string path = "/proxy.pac")
      : pac_(std::move(pac)), path_(std::move(path)) {
    server_.Get(path_, [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(pac_, "application/x-ns-proxy-autoconfig");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    listener_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~PacServer() {
    server_.stop();
    listener_.join();
  }
  PacServer(const PacServer&) = delete;
  PacServer& operator=(const PacServer&) = delete;

  int port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + path_; }

 private:
  const std::string pac_;
  const std::string path_;
  httplib::Server server_;
  int port_ = 0;
  std::thread listener_;
};

}  // namespace ovbench
