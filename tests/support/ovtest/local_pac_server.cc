#include "ovtest/local_pac_server.h"

#include <httplib.h>

#include <cstddef>

namespace ovtest {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

void Redirect(httplib::Response& response, const std::string& location) {
  response.status = 302;
  response.set_header("Location", location);
}

}  // namespace

LocalPacServer::LocalPacServer() : server_(std::make_unique<httplib::Server>()) {
  httplib::Server& s = *server_;
  s.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.has_header("If-None-Match") || request.has_header("If-Modified-Since")) {
      if_none_match_ = request.get_header_value("If-None-Match");
      if_modified_since_ = request.get_header_value("If-Modified-Since");
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.Get("/etag.pac", [](const httplib::Request& request, httplib::Response& response) {
    response.set_header("ETag", "\"v1\"");
    if (request.get_header_value("If-None-Match") == "\"v1\"") {
      response.status = 304;
      return;
    }
    response.set_content(kPacBody, "application/x-ns-proxy-autoconfig");
  });
  s.Get("/lastmod.pac", [](const httplib::Request& request, httplib::Response& response) {
    response.set_header("Last-Modified", kLastModified);
    if (request.get_header_value("If-Modified-Since") == kLastModified) {
      response.status = 304;
      return;
    }
    response.set_content(kPacBody, "application/x-ns-proxy-autoconfig");
  });
  s.Get("/empty.pac", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("", "application/x-ns-proxy-autoconfig");
  });
  s.Get("/missing.pac", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
    response.set_content("FindProxyForURL is not here", "text/plain");
  });
  s.Get("/big.pac", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(kMiB + 1, 'x'), "text/plain");
  });
  s.Get("/exact.pac", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(kMiB, 'x'), "text/plain");
  });
  s.Get("/big-chunked.pac", [](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider(
        "text/plain", [sent = std::size_t{0}](std::size_t, httplib::DataSink& sink) mutable {
          if (sent > kMiB) {
            sink.done();
            return true;
          }
          const std::string chunk(64 * 1024 + 1, 'y');
          sent += chunk.size();
          return sink.write(chunk.data(), chunk.size());
        });
  });
  s.Get("/redirect.pac", [](const httplib::Request&, httplib::Response& response) {
    Redirect(response, "/etag.pac");
  });
  s.Get("/loop.pac", [](const httplib::Request&, httplib::Response& response) {
    Redirect(response, "/loop.pac");
  });
  s.Get("/to-file.pac", [](const httplib::Request&, httplib::Response& response) {
    Redirect(response, "file:///etc/hostname");
  });
  s.Get("/stall.pac", [this](const httplib::Request&, httplib::Response& response) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++stalls_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
    response.set_content(kPacBody, "application/x-ns-proxy-autoconfig");
  });
  s.set_tcp_nodelay(true);
  port_ = s.bind_to_any_port("127.0.0.1");
  // The socket listens already; requests wait in its backlog until the
  // loop accepts them.
  thread_ = std::thread([&s] { s.listen_after_bind(); });
}

LocalPacServer::~LocalPacServer() {
  ReleaseStalls();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string LocalPacServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LocalPacServer::WaitForStalls(int count) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return stalls_ >= count; });
}

void LocalPacServer::ReleaseStalls() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

std::string LocalPacServer::last_if_none_match() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return if_none_match_;
}

std::string LocalPacServer::last_if_modified_since() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return if_modified_since_;
}

}  // namespace ovtest
