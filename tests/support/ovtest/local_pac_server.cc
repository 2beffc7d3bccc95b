#include "ovtest/local_pac_server.h"

#include <httplib.h>

#include <cstddef>

namespace ovtest {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr const char* kPacType = "application/x-ns-proxy-autoconfig";
using Request = httplib::Request;
using Response = httplib::Response;

// The PAC file with a validator; 304 when the request repeats it.
httplib::Server::Handler Validated(const char* header, const char* value,
                                   const char* request_header) {
  return [=](const Request& request, Response& response) {
    response.set_header(header, value);
    if (request.get_header_value(request_header) == value) {
      response.status = 304;
    } else {
      response.set_content(LocalPacServer::kPacBody, kPacType);
    }
  };
}

httplib::Server::Handler Body(int status, std::string body) {
  return [=](const Request&, Response& response) {
    response.status = status;
    response.set_content(body, "text/plain");
  };
}

httplib::Server::Handler Redirect(std::string location) {
  return [=](const Request&, Response& response) {
    response.status = 302;
    response.set_header("Location", location);
  };
}

}  // namespace

LocalPacServer::LocalPacServer() : server_(std::make_unique<httplib::Server>()) {
  httplib::Server& s = *server_;
  s.set_pre_routing_handler([this](const Request& request, Response&) {
    std::lock_guard lock(mutex_);
    if (request.has_header("If-None-Match") || request.has_header("If-Modified-Since")) {
      if_none_match_ = request.get_header_value("If-None-Match");
      if_modified_since_ = request.get_header_value("If-Modified-Since");
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.Get("/etag.pac", Validated("ETag", "\"v1\"", "If-None-Match"));
  s.Get("/lastmod.pac", Validated("Last-Modified", kLastModified, "If-Modified-Since"));
  s.Get("/empty.pac", Body(200, ""));
  s.Get("/missing.pac", Body(404, "FindProxyForURL is not here"));
  s.Get("/big.pac", Body(200, std::string(kMiB + 1, 'x')));
  s.Get("/exact.pac", Body(200, std::string(kMiB, 'x')));
  s.Get("/big-chunked.pac", [](const Request&, Response& response) {
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
  s.Get("/redirect.pac", Redirect("/etag.pac"));
  s.Get("/loop.pac", Redirect("/loop.pac"));
  s.Get("/to-file.pac", Redirect("file:///etc/hostname"));
  s.Get("/stall.pac", [this](const Request&, Response& response) {
    std::unique_lock lock(mutex_);
    ++stalls_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
    response.set_content(kPacBody, kPacType);
  });
  s.Get("/not-modified.pac", [](const Request&, Response& response) { response.status = 304; });
  s.Get(R"(/script/([^/]+))", [this](const Request& request, Response& response) {
    std::lock_guard lock(mutex_);
    auto found = scripts_.find(request.matches[1]);
    if (found == scripts_.end()) {
      response.status = 404;
      return;
    }
    Script& script = found->second;
    ++script.requests;
    const std::string etag = "\"" + std::to_string(script.version) + "\"";
    response.set_header("ETag", etag);
    if (request.get_header_value("If-None-Match") == etag) {
      ++script.not_modified;
      response.status = 304;
    } else {
      response.set_content(script.body, kPacType);
    }
  });
  s.set_tcp_nodelay(true);
  port_ = s.bind_to_any_port("127.0.0.1");
  // The socket listens already: requests wait in its backlog until accepted.
  thread_ = std::thread([&s] { s.listen_after_bind(); });
}

LocalPacServer::~LocalPacServer() {
  ReleaseStalls();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void LocalPacServer::WaitForStalls(int count) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return stalls_ >= count; });
}

void LocalPacServer::ReleaseStalls() {
  std::lock_guard lock(mutex_);
  released_ = true;
  changed_.notify_all();
}

std::string LocalPacServer::last_if_none_match() const {
  std::lock_guard lock(mutex_);
  return if_none_match_;
}

std::string LocalPacServer::last_if_modified_since() const {
  std::lock_guard lock(mutex_);
  return if_modified_since_;
}

}  // namespace ovtest

namespace ovtest {

void LocalPacServer::SetScript(const std::string& name, std::string body) {
  std::lock_guard lock(mutex_);
  Script& script = scripts_[name];
  script.body = std::move(body);
  ++script.version;
}

int LocalPacServer::script_requests(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto found = scripts_.find(name);
  return found == scripts_.end() ? 0 : found->second.requests;
}

int LocalPacServer::script_not_modified(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto found = scripts_.find(name);
  return found == scripts_.end() ? 0 : found->second.not_modified;
}

}  // namespace ovtest
