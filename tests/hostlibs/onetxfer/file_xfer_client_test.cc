// The platform's transfer client (libcurl on Linux, WinHTTP on Windows)
// against the same local server: both must give the same outcomes.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "onetxfer/oxfer_response_headers.h"
#include "ovtest/local_pac_server.h"

#if defined(_WIN32)
#include "onetxfer/winhttp_file_xfer_client.h"
using Client = oXfer::WinHttpFileXferClient;
#else
#include "onetxfer/curl_file_xfer_client.h"
using Client = oXfer::CurlFileXferClient;
#endif

namespace oXfer {
namespace {

using ovtest::LocalPacServer;

// What one transfer told its observer; shared, as the module releases the
// observer after the completion.
struct Seen {
  std::mutex mutex;
  std::condition_variable done_cv;
  int completions = 0;
  int32_t code = -1;
  std::string body;
  std::shared_ptr<DownloadResult> result;
};

class Observer final : public RepeatingCallBack {
 public:
  explicit Observer(std::shared_ptr<Seen> seen) : seen_(std::move(seen)) {}
  void OnComplete(const RequestId&, int32_t code) override {
    std::lock_guard lock(seen_->mutex);
    seen_->code = code;
    seen_->result = result();
    ++seen_->completions;
    seen_->done_cv.notify_all();
  }

 private:
  ~Observer() override = default;
  std::shared_ptr<Seen> seen_;
};

struct Request {
  std::string validator_1, validator_2;
  bool follow_redirects = true;
  int32_t transfer_timeout_ms = kDefaultTransferTimeoutMs;
};

// Starts a download; the returned record fills in when it completes.
std::shared_ptr<Seen> Start(Client& client, const std::string& url, const Request& request = {},
                            RequestId* id = nullptr) {
  auto seen = std::make_shared<Seen>();
  auto parameters = MakeRef<DownloadUrlParameters>(url, std::string());
  parameters->validator_1 = request.validator_1;
  parameters->validator_2 = request.validator_2;
  parameters->use_validators = true;
  parameters->follow_redirects = request.follow_redirects;
  parameters->transfer_timeout_ms = request.transfer_timeout_ms;
  parameters->save_info->set_data_callback(
      [seen](const char* data, std::size_t count, int64_t offset, bool) {
        std::lock_guard lock(seen->mutex);
        EXPECT_EQ(offset, static_cast<int64_t>(seen->body.size()));
        seen->body.append(data, count);
      });
  RequestId started;
  EXPECT_TRUE(client.StartDownload(parameters.get(), MakeRef<Observer>(seen).get(), &started));
  if (id != nullptr) *id = started;
  return seen;
}

std::shared_ptr<Seen> Wait(std::shared_ptr<Seen> seen) {
  std::unique_lock lock(seen->mutex);
  seen->done_cv.wait(lock, [&] { return seen->completions > 0; });
  return seen;
}

std::shared_ptr<Seen> Fetch(Client& client, const std::string& url, const Request& request = {}) {
  return Wait(Start(client, url, request));
}

class FileXferClientTest : public ::testing::Test {
 protected:
  LocalPacServer server_;
  Client client_;
};

TEST_F(FileXferClientTest, OutcomesOfWhatServersAnswer) {
  const std::string kMiB(1024 * 1024, 'x'), kPac = LocalPacServer::kPacBody;
  const struct {
    const char* path;
    Request request;
    int32_t code;
    int http_status;
    std::string body;  // what reached the data callback
  } cases[] = {
      {"/etag.pac", {}, kResultOk, 200, LocalPacServer::kPacBody},
      {"/exact.pac", {}, kResultOk, 200, kMiB},
      {"/missing.pac", {}, kResultHttpError, 404, ""},
      {"/big.pac", {}, kResultBodyTooLarge, 200, ""},
      {"/redirect.pac", {}, kResultOk, 200, LocalPacServer::kPacBody},
      {"/redirect.pac", {.follow_redirects = false}, kResultHttpError, 302, ""},
      {"/loop.pac", {}, kResultTooManyRedirects, 302, ""},
      {"/to-file.pac", {}, kResultUnsupportedScheme, 302, ""},
      // A validator with a line break would inject a header: it is not sent.
      {"/etag.pac", {.validator_1 = "\"v1\"\r\nX-Evil: 1"}, kResultOk, 200, kPac},
      {"/empty.pac", {}, kResultOk, 200, ""},
      // The whole transfer is bounded, however long the server holds it.
      {"/stall.pac", {.transfer_timeout_ms = 200}, kResultTimedOut, 0, ""},
  };
  for (const auto& c : cases) {
    const auto seen = Fetch(client_, server_.Url(c.path), c.request);
    EXPECT_EQ(seen->code, c.code) << c.path;
    ASSERT_TRUE(seen->result) << c.path;
    EXPECT_EQ(seen->result->http_status, c.http_status) << c.path;
    EXPECT_TRUE(seen->body == c.body) << c.path;
    EXPECT_EQ(seen->completions, 1) << c.path;
  }
  // The cap also holds when the length is not announced.
  const auto chunked = Fetch(client_, server_.Url("/big-chunked.pac"));
  EXPECT_EQ(chunked->code, kResultBodyTooLarge);
  EXPECT_LE(chunked->body.size(), kMiB.size());
}

TEST_F(FileXferClientTest, ValidatorsTurnARepeatIntoNotModified) {
  const struct {
    const char* path;
    const char* etag;
    const char* last_modified;
  } cases[] = {
      {"/etag.pac", "\"v1\"", ""},
      {"/lastmod.pac", "", LocalPacServer::kLastModified},
  };
  for (const auto& c : cases) {
    const auto first = Fetch(client_, server_.Url(c.path));
    ASSERT_EQ(first->code, kResultOk) << c.path;
    EXPECT_EQ(first->result->validator_1, c.etag) << c.path;
    EXPECT_EQ(first->result->validator_2, c.last_modified) << c.path;

    const auto again = Fetch(client_, server_.Url(c.path),
                             {first->result->validator_1, first->result->validator_2});
    EXPECT_EQ(again->code, kResultNotModified) << c.path;
    EXPECT_TRUE(again->body.empty()) << c.path;
    EXPECT_EQ(server_.last_if_none_match(), c.etag) << c.path;
    EXPECT_EQ(server_.last_if_modified_since(), c.last_modified) << c.path;
  }
}

TEST_F(FileXferClientTest, CancelAndShutdownEndRunningTransfersOnce) {
  auto client = std::make_unique<Client>();
  RequestId id;
  const auto cancelled = Start(*client, server_.Url("/stall.pac"), {}, &id);
  const auto running = Start(*client, server_.Url("/stall.pac"));
  server_.WaitForStalls(2);
  client->CancelDownload(u"unknown");
  client->CancelDownload(id);
  Wait(cancelled);
  EXPECT_EQ(cancelled->code, kResultCancelled);
  client.reset();
  EXPECT_EQ(running->completions, 1);
  EXPECT_EQ(running->code, kResultShutdown);
  EXPECT_EQ(cancelled->completions, 1);
  server_.ReleaseStalls();
}

#if !defined(_WIN32)
// libcurl reads proxy variables by default; WinHTTP never does, and its
// session is opened without a proxy.
TEST_F(FileXferClientTest, NeverGoesThroughAProxy) {
  // A proxy that does not exist: a transfer that used it would fail.
  const char* const names[] = {"http_proxy", "HTTP_PROXY", "ALL_PROXY"};
  for (const char* name : names) ::setenv(name, "http://127.0.0.1:9", 1);
  const auto seen = Fetch(client_, server_.Url("/etag.pac"));
  for (const char* name : names) ::unsetenv(name);
  EXPECT_EQ(seen->code, kResultOk);
}
#endif

TEST(ResponseHeadersTest, LastResponseStatusAndValidatorsWin) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      // header lines, "status|etag|last-modified"
      {{"HTTP/1.1 200 OK\r\n", "ETag: \"a\"\r\n", "Last-Modified: Mon, 01 Jan 2024\r\n"},
       "200|\"a\"|Mon, 01 Jan 2024"},
      {{"HTTP/2 304\r\n", "etag:\t W/\"b\" \r\n"}, "304|W/\"b\"|"},
      // A redirect's validators do not carry over to the final response.
      {{"HTTP/1.1 302 Found\r\n", "ETag: \"r\"\r\n", "HTTP/1.1 200 OK\r\n"}, "200||"},
      {{"HTTP/1.1 20 OK\r\n", "HTTP/1.1 2000\r\n", "HTTPS/1.1 200\r\n"}, "0||"},
      {{"HTTP/1.1 200 OK\r\n", "ETag \"x\"\r\n", ":\r\n"}, "200||"},
      {{"HTTP/1.1 200 OK\r\n", "ETag: " + std::string(2000, 'e') + "\r\n"}, "200||"},
      {{"HTTP/1.1 200 OK\r\n", "ETag: \"a\rX-Evil: 1\"\r\n", "Last-Modified: a\x1b\r\n"}, "200||"},
  };
  for (const auto& [lines, expected] : cases) {
    ResponseHeaders headers;
    for (const std::string& line : lines) headers.AddLine(line);
    EXPECT_EQ(std::to_string(headers.status) + "|" + headers.etag + "|" + headers.last_modified,
              expected)
        << lines[0];
  }
}

}  // namespace
}  // namespace oXfer
