// WinHttpApi on each platform. On Windows, the system WinHTTP: Wine's
// WinHttpCreateProxyResolver is a stub, so no request completes there; the
// tests pin what the layer answers around that (the stub's code, no
// callback) and the conversion of a result list fed by hand. On Linux,
// scripts are "evaluated" by a stub that answers the script text as the
// proxy host, so no PAC engine is needed.
#if defined(_WIN32)
#include "platform/winhttp/ov_winhttp_win.h"

#include <windows.h>
#include <winhttp.h>
#else
#include "platform/winhttp/ov_winhttp_linux.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "ovtest/manual_clock.h"
#include "platform/wpad/ov_wpad_discovery.h"
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ovtest/under_wine.h"

namespace ovplatform {
namespace {

#if defined(_WIN32)

std::atomic<int> g_callbacks{0};

void CountCallback(WinHttpHandle, uintptr_t, uint32_t, const void*, uint32_t) {
  ++g_callbacks;
}

class SystemWinHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_callbacks = 0;
    session_ = api_->Open(true);
    ASSERT_NE(session_, kNullHandle);
    ASSERT_TRUE(api_->SetStatusCallback(
        session_, CountCallback, kCallbackFlagGetProxyForUrlComplete | kCallbackFlagRequestError));
  }
  void TearDown() override {
    if (session_ != kNullHandle) {
      EXPECT_TRUE(api_->CloseHandle(session_));
    }
  }

  std::shared_ptr<WinHttpApi> api_ = CreateSystemWinHttp();
  WinHttpHandle session_ = kNullHandle;
};

TEST_F(SystemWinHttpTest, CreatingAResolverAnswersTheSystemsCode) {
  // The resolver's own time-outs, and unlimited ones, are taken.
  EXPECT_TRUE(api_->SetTimeouts(session_, 2000, 3000, 2000, 3000));
  EXPECT_TRUE(api_->SetTimeouts(session_, 0, -5, 0, 1));
  // The callback can be removed and set again.
  EXPECT_TRUE(api_->SetStatusCallback(session_, nullptr, kCallbackFlagAllNotifications));
  EXPECT_TRUE(api_->SetStatusCallback(
      session_, CountCallback, kCallbackFlagGetProxyForUrlComplete | kCallbackFlagRequestError));

  WinHttpHandle resolver = kNullHandle;
  const uint32_t code = api_->CreateProxyResolver(session_, &resolver);
  if (ovtest::UnderWine()) {
    // Wine 8's stub: the code the asynchronous resolver maps to a refused
    // request (e_resolve_failed) and the controller answers locally.
    EXPECT_EQ(code, kErrorAutoProxyServiceError);
    EXPECT_EQ(resolver, kNullHandle);
  } else {
    ASSERT_EQ(code, kErrorSuccess);
    ASSERT_NE(resolver, kNullHandle);
    // A resolver that never completed has no result to read.
    ProxyResult result;
    EXPECT_NE(api_->GetProxyResult(resolver, &result), kErrorSuccess);
    EXPECT_TRUE(api_->CloseHandle(resolver));
  }
  EXPECT_EQ(g_callbacks.load(), 0);
}

TEST_F(SystemWinHttpTest, HandlesItDidNotOpenNeverReachTheSystem) {
  // A stale value (a session already closed) and one that was never a handle.
  const WinHttpHandle closed = api_->Open(true);
  ASSERT_NE(closed, kNullHandle);
  ASSERT_TRUE(api_->CloseHandle(closed));
  const AutoProxyOptions options{.flags = kAutoProxyAutoDetect,
                                 .auto_detect_flags = kAutoDetectTypeDhcp | kAutoDetectTypeDnsA};
  for (const WinHttpHandle handle : {closed, WinHttpHandle{0x1234}}) {
    WinHttpHandle resolver = kNullHandle;
    ProxyResult result;
    EXPECT_FALSE(api_->SetStatusCallback(handle, CountCallback, kCallbackFlagAllNotifications));
    EXPECT_FALSE(api_->SetTimeouts(handle, 1, 1, 1, 1));
    EXPECT_EQ(api_->CreateProxyResolver(handle, &resolver), kErrorInvalidHandle);
    EXPECT_EQ(api_->GetProxyForUrlEx(handle, "http://example.org/", options, 1),
              kErrorInvalidHandle);
    EXPECT_EQ(api_->GetProxyResult(handle, &result), kErrorInvalidHandle);
    EXPECT_FALSE(api_->CloseHandle(handle));
  }
  // A session can be used as a resolver by no one.
  EXPECT_EQ(api_->GetProxyForUrlEx(session_, "http://example.org/", options, 1),
            kErrorInvalidHandle);
  EXPECT_EQ(api_->CreateProxyResolver(session_, nullptr), kErrorInvalidParameter);
  // Text that is not UTF-8 is refused before any handle is looked at.
  EXPECT_EQ(api_->GetProxyForUrlEx(session_, "http://\xff/", options, 1), kErrorInvalidParameter);
  EXPECT_EQ(api_->GetProxyForUrlEx(session_, "", options, 1), kErrorInvalidParameter);
  EXPECT_EQ(api_->Open(false), kNullHandle);
  EXPECT_EQ(g_callbacks.load(), 0);
}

TEST(SystemProxyResultTest, EntriesConvertInOrder) {
  wchar_t http[] = L"proxy.corp";
  wchar_t https[] = L"secure.corp";
  wchar_t socks[] = L"5 socks.corp";
  wchar_t wide[] = L"pr\u00f6xy.corp";
  WINHTTP_PROXY_RESULT_ENTRY entries[] = {
      {TRUE, FALSE, INTERNET_SCHEME_HTTP, http, 3128},
      {TRUE, TRUE, INTERNET_SCHEME_HTTPS, https, 443},
      {TRUE, FALSE, INTERNET_SCHEME_SOCKS, socks, 1080},
      {TRUE, FALSE, INTERNET_SCHEME_HTTP, wide, 80},
      {TRUE, FALSE, INTERNET_SCHEME_HTTP, nullptr, 8080},  // no host: kept, empty
      // Not a proxy: whatever else the entry holds, it is direct.
      {FALSE, FALSE, INTERNET_SCHEME_HTTP, http, 99},
  };
  const WINHTTP_PROXY_RESULT system{static_cast<DWORD>(std::size(entries)), entries};
  const std::vector<ProxyResultEntry> expected = {
      {true, false, kProxySchemeHttp, "proxy.corp", 3128},
      {true, true, kProxySchemeHttps, "secure.corp", 443},
      {true, false, kProxySchemeSocks, "5 socks.corp", 1080},
      {true, false, kProxySchemeHttp, "pr\xc3\xb6xy.corp", 80},
      {true, false, kProxySchemeHttp, "", 8080},
      {false, false, kProxySchemeDirect, "", 0},
  };
  EXPECT_EQ(ConvertSystemProxyResult(system).entries, expected);

  const WINHTTP_PROXY_RESULT none{3, nullptr};
  EXPECT_TRUE(ConvertSystemProxyResult(none).entries.empty());
}

#else
constexpr auto kHangGuard = std::chrono::seconds(30);

struct Outcome {
  uint32_t status = 0;
  uint32_t code = 0;
};

// One request's callback, seen by the test.
struct Waiter {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<Outcome> outcome;
  int calls = 0;
  std::thread::id thread;

  std::optional<Outcome> Wait() {
    std::unique_lock lock(mutex);
    done.wait_for(lock, kHangGuard, [&] { return outcome.has_value(); });
    return outcome;
  }
};

void OnStatus(WinHttpHandle, uintptr_t context, uint32_t status, const void* info,
              uint32_t length) {
  auto* waiter = reinterpret_cast<Waiter*>(context);
  Outcome outcome{status, 0};
  if (status == kStatusGetProxyForUrlComplete && length == sizeof(uint32_t)) {
    std::memcpy(&outcome.code, info, sizeof(uint32_t));
  } else if (status == kStatusRequestError && length == sizeof(AsyncResult)) {
    outcome.code = static_cast<const AsyncResult*>(info)->error;
  }
  std::lock_guard lock(waiter->mutex);
  waiter->outcome = outcome;
  ++waiter->calls;
  waiter->thread = std::this_thread::get_id();
  waiter->done.notify_all();
}

PacEvaluation StubEvaluator(const std::string& script, const std::string&) {
  if (script.rfind("FAIL", 0) == 0) return PacEvaluation{false, {}, "script failed"};
  return PacEvaluation{true, {{true, false, kProxySchemeHttp, script, 8080}}, script};
}

class Discovery final : public WpadDiscovery {
 public:
  explicit Discovery(std::string url) : url_(std::move(url)) {}
  WpadResult Detect(uint32_t flags) override {
    flags_ = flags;
    ++calls_;
    return url_.empty() ? WpadResult{} : WpadResult{url_, WpadSource::kDns};
  }
  std::atomic<uint32_t> flags_{0};
  std::atomic<int> calls_{0};

 private:
  std::string url_;
};

class LinuxWinHttpTest : public ::testing::Test {
 protected:
  LinuxWinHttpTest() {
    server_.Get("/ok.pac", [this](const httplib::Request& request, httplib::Response& response) {
      const std::string etag = "\"" + version_ + "\"";
      if (request.get_header_value("If-None-Match") == etag) {
        ++conditional_hits_;
        response.status = 304;
        return;
      }
      ++full_hits_;
      response.set_header("ETag", etag);
      response.set_content("proxy-" + version_, "application/x-ns-proxy-autoconfig");
    });
    server_.Get("/bad.pac", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("FAIL: not a script", "text/plain");
    });
    server_.Get("/big.pac", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(std::string(4096, 'x'), "text/plain");
    });
    server_.Get("/big-chunked.pac", [](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
        const std::string part(1024, 'x');
        for (int i = 0; i < 4; ++i) {
          if (!sink.write(part.data(), part.size())) break;
        }
        sink.done();
        return true;
      });
    });
    server_.Get("/to-file.pac", [](const httplib::Request&, httplib::Response& response) {
      response.set_redirect("file:///etc/hostname");
    });
    server_.Get("/gone.pac", [this](const httplib::Request&, httplib::Response& response) {
      ++gone_hits_;
      response.status = 404;
    });
    server_.Get("/held.pac", [this](const httplib::Request&, httplib::Response& response) {
      ++full_hits_;
      {
        std::lock_guard lock(held_mutex_);
        ++held_hits_;
        held_cv_.notify_all();
      }
      release_.wait();
      response.set_content("held", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    listener_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() before the accept loop runs would be lost.
    while (!server_.is_running()) std::this_thread::yield();
  }

  ~LinuxWinHttpTest() override {
    if (!released_) release_promise_.set_value();
    api_.reset();
    server_.stop();
    listener_.join();
    OverrideWpadDiscoveryForTesting(std::nullopt);
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  void Make(LinuxWinHttpOptions options = {}) {
    if (!options.evaluator) options.evaluator = StubEvaluator;
    api_ = CreateLinuxWinHttp(std::move(options));
    session_ = api_->Open(true);
    ASSERT_NE(session_, kNullHandle);
    ASSERT_TRUE(api_->SetStatusCallback(
        session_, OnStatus, kCallbackFlagGetProxyForUrlComplete | kCallbackFlagRequestError));
  }

  static AutoProxyOptions ConfigUrl(const std::string& url) {
    return AutoProxyOptions{.flags = kAutoProxyConfigUrl, .auto_config_url = url};
  }

  // Starts a request on a new resolver handle; the test waits for it.
  WinHttpHandle Start(const AutoProxyOptions& options, Waiter& waiter,
                      uint32_t expected = kErrorIoPending) {
    WinHttpHandle resolver = kNullHandle;
    EXPECT_EQ(api_->CreateProxyResolver(session_, &resolver), kErrorSuccess);
    EXPECT_EQ(api_->GetProxyForUrlEx(resolver, "http://example.org/x", options,
                                     reinterpret_cast<uintptr_t>(&waiter)),
              expected);
    return resolver;
  }

  // One request, waited for; `result` gets the entries on success.
  Outcome Run(const AutoProxyOptions& options, ProxyResult* result = nullptr) {
    WinHttpHandle resolver = kNullHandle;
    EXPECT_EQ(api_->CreateProxyResolver(session_, &resolver), kErrorSuccess);
    Waiter waiter;
    EXPECT_EQ(api_->GetProxyForUrlEx(resolver, "http://example.org/x", options,
                                     reinterpret_cast<uintptr_t>(&waiter)),
              kErrorIoPending);
    const std::optional<Outcome> outcome = waiter.Wait();
    EXPECT_TRUE(outcome.has_value()) << "no callback";
    EXPECT_NE(waiter.thread, std::this_thread::get_id());
    if (result && outcome && outcome->code == kErrorSuccess) {
      EXPECT_EQ(api_->GetProxyResult(resolver, result), kErrorSuccess);
    }
    EXPECT_TRUE(api_->CloseHandle(resolver));
    return outcome.value_or(Outcome{});
  }

  void Release() {
    released_ = true;
    release_promise_.set_value();
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread listener_;
  std::string version_ = "v1";
  std::atomic<int> full_hits_{0};
  std::atomic<int> conditional_hits_{0};
  std::atomic<int> gone_hits_{0};
  std::mutex held_mutex_;
  std::condition_variable held_cv_;
  int held_hits_ = 0;  // guarded by held_mutex_
  std::promise<void> release_promise_;
  std::shared_future<void> release_ = release_promise_.get_future().share();
  bool released_ = false;
  std::shared_ptr<WinHttpApi> api_;
  WinHttpHandle session_ = kNullHandle;
};

TEST_F(LinuxWinHttpTest, ScriptSourcesEndAsTheirCodes) {
  Make(LinuxWinHttpOptions{.max_script_bytes = 1024});
  struct Case {
    std::string path;
    uint32_t code;
  };
  const Case cases[] = {
      {"/ok.pac", kErrorSuccess},
      {"/missing.pac", kErrorUnableToDownloadScript},
      {"/big.pac", kErrorUnableToDownloadScript},
      {"/big-chunked.pac", kErrorUnableToDownloadScript},
      {"/to-file.pac", kErrorUnableToDownloadScript},
      {"/bad.pac", kErrorBadAutoProxyScript},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ProxyResult result;
    const Outcome outcome = Run(ConfigUrl(Url(c.path)), &result);
    EXPECT_EQ(outcome.status, kStatusGetProxyForUrlComplete);
    EXPECT_EQ(outcome.code, c.code);
    if (c.code == kErrorSuccess) {
      ASSERT_EQ(result.entries.size(), 1u);
      EXPECT_EQ(result.entries[0].proxy_text, "proxy-v1");
    }
  }
  // Only http and https scripts are fetched at all.
  EXPECT_EQ(Run(ConfigUrl("file:///etc/hostname")).code, kErrorUnableToDownloadScript);
}

TEST_F(LinuxWinHttpTest, AServerThatNeverAnswersTimesOut) {
  Make(LinuxWinHttpOptions{.timeouts_override = WinHttpTimeouts{50, 50, 50, 100}});
  EXPECT_EQ(Run(ConfigUrl(Url("/held.pac"))).code, kErrorTimeout);
}

TEST_F(LinuxWinHttpTest, AKeptScriptIsRevalidatedAfterItsLifetime) {
  ovtest::ManualClock clock;
  Make(LinuxWinHttpOptions{.script_lifetime = std::chrono::seconds(60)});
  ProxyResult result;
  EXPECT_EQ(Run(ConfigUrl(Url("/ok.pac")), &result).code, kErrorSuccess);
  EXPECT_EQ(Run(ConfigUrl(Url("/ok.pac"))).code, kErrorSuccess);
  EXPECT_EQ(full_hits_, 1);
  EXPECT_EQ(conditional_hits_, 0);

  clock.Advance(std::chrono::seconds(61));
  EXPECT_EQ(Run(ConfigUrl(Url("/ok.pac")), &result).code, kErrorSuccess);
  EXPECT_EQ(full_hits_, 1);
  EXPECT_EQ(conditional_hits_, 1);
  EXPECT_EQ(result.entries.at(0).proxy_text, "proxy-v1");

  version_ = "v2";
  clock.Advance(std::chrono::seconds(61));
  EXPECT_EQ(Run(ConfigUrl(Url("/ok.pac")), &result).code, kErrorSuccess);
  EXPECT_EQ(full_hits_, 2);
  EXPECT_EQ(result.entries.at(0).proxy_text, "proxy-v2");
}

TEST_F(LinuxWinHttpTest, ABurstSharesOneDownloadAndAClosedHandleIsCancelled) {
  Make();
  constexpr int kBurst = 6;
  std::vector<WinHttpHandle> handles(kBurst);
  std::vector<Waiter> waiters(kBurst);
  for (int i = 0; i < kBurst; ++i) {
    ASSERT_EQ(api_->CreateProxyResolver(session_, &handles[i]), kErrorSuccess);
    ASSERT_EQ(api_->GetProxyForUrlEx(handles[i], "http://example.org/", ConfigUrl(Url("/held.pac")),
                                     reinterpret_cast<uintptr_t>(&waiters[i])),
              kErrorIoPending);
  }
  // A handle carries one request at a time.
  EXPECT_EQ(
      api_->GetProxyForUrlEx(handles[0], "http://example.org/", ConfigUrl(Url("/held.pac")), 0),
      kErrorIncorrectHandleState);
  ASSERT_TRUE(api_->CloseHandle(handles[0]));
  Release();
  for (int i = 0; i < kBurst; ++i) {
    SCOPED_TRACE(i);
    const std::optional<Outcome> outcome = waiters[i].Wait();
    ASSERT_TRUE(outcome.has_value());
    if (i == 0) {
      EXPECT_EQ(outcome->status, kStatusRequestError);
      EXPECT_EQ(outcome->code, kErrorOperationCancelled);
    } else {
      EXPECT_EQ(outcome->code, kErrorSuccess);
      api_->CloseHandle(handles[i]);
    }
  }
  EXPECT_EQ(full_hits_, 1);
  for (Waiter& waiter : waiters) EXPECT_EQ(waiter.calls, 1);
}

TEST_F(LinuxWinHttpTest, AutoDetectionUsesTheDiscoveryThenTheConfiguredUrl) {
  Make();
  struct Case {
    std::string detected;
    std::string configured;
    uint32_t code;
    std::string proxy;
  };
  const Case cases[] = {
      {Url("/ok.pac"), "", kErrorSuccess, "proxy-v1"},
      {"", "", kErrorAutoDetectionFailed, ""},
      {Url("/missing.pac"), Url("/ok.pac"), kErrorSuccess, "proxy-v1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.detected + " / " + c.configured);
    auto discovery = std::make_shared<Discovery>(c.detected);
    OverrideWpadDiscoveryForTesting(discovery);
    AutoProxyOptions options{.flags = kAutoProxyAutoDetect,
                             .auto_detect_flags = kAutoDetectTypeDhcp | kAutoDetectTypeDnsA};
    if (!c.configured.empty()) {
      options.flags |= kAutoProxyConfigUrl;
      options.auto_config_url = c.configured;
    }
    ProxyResult result;
    const Outcome outcome = Run(options, &result);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(discovery->flags_.load(), kWpadDetectAll);
    if (c.code == kErrorSuccess) {
      EXPECT_EQ(result.entries.at(0).proxy_text, c.proxy);
    }
  }
}

TEST_F(LinuxWinHttpTest, AFullServiceRefusesAtOnceWithoutACallback) {
  Make(LinuxWinHttpOptions{.threads = 1, .max_pending = 2});
  Waiter held[2], refused;
  const WinHttpHandle a = Start(ConfigUrl(Url("/held.pac")), held[0]);
  const WinHttpHandle b = Start(ConfigUrl(Url("/held.pac")), held[1]);
  const WinHttpHandle c = Start(ConfigUrl(Url("/ok.pac")), refused, kErrorUnableToDownloadScript);
  Release();
  for (Waiter& waiter : held) EXPECT_EQ(waiter.Wait().value_or(Outcome{}).code, kErrorSuccess);
  // Room again: the refused handle takes a request.
  EXPECT_EQ(api_->GetProxyForUrlEx(c, "http://example.org/", ConfigUrl(Url("/ok.pac")),
                                   reinterpret_cast<uintptr_t>(&refused)),
            kErrorIoPending);
  EXPECT_EQ(refused.Wait().value_or(Outcome{}).code, kErrorSuccess);
  EXPECT_EQ(refused.calls, 1);
  for (const WinHttpHandle handle : {a, b, c}) api_->CloseHandle(handle);
}

TEST_F(LinuxWinHttpTest, ClosingAHandleEndsItsRequestWithoutWaitingForOthers) {
  Make(LinuxWinHttpOptions{.threads = 1});
  // Queued behind a download that hangs: answered at once, never fetched.
  Waiter running, queued;
  const WinHttpHandle a = Start(ConfigUrl(Url("/held.pac")), running);
  const WinHttpHandle b = Start(ConfigUrl(Url("/ok.pac")), queued);
  ASSERT_TRUE(api_->CloseHandle(b));
  const std::optional<Outcome> cancelled = queued.Wait();
  ASSERT_TRUE(cancelled.has_value());
  EXPECT_EQ(cancelled->status, kStatusRequestError);
  EXPECT_EQ(cancelled->code, kErrorOperationCancelled);
  EXPECT_EQ(running.calls, 0);

  // Running: its download, which no one else waits for, stops.
  {
    std::unique_lock lock(held_mutex_);
    ASSERT_TRUE(held_cv_.wait_for(lock, kHangGuard, [&] { return held_hits_ == 1; }));
  }
  ASSERT_TRUE(api_->CloseHandle(a));
  const std::optional<Outcome> stopped = running.Wait();
  ASSERT_TRUE(stopped.has_value());
  EXPECT_EQ(stopped->status, kStatusRequestError);
  EXPECT_EQ(stopped->code, kErrorOperationCancelled);
  EXPECT_EQ(full_hits_, 1);  // held.pac only
  EXPECT_EQ(queued.calls, 1);
}

TEST_F(LinuxWinHttpTest, DetectionRunsOncePerNetworkOrLifetime) {
  ovtest::ManualClock clock;
  Make();
  const AutoProxyOptions detect{.flags = kAutoProxyAutoDetect,
                                .auto_detect_flags = kAutoDetectTypeDhcp | kAutoDetectTypeDnsA};
  for (const std::string& detected : {Url("/ok.pac"), std::string()}) {
    SCOPED_TRACE(detected);
    auto discovery = std::make_shared<Discovery>(detected);
    OverrideWpadDiscoveryForTesting(discovery);
    const uint32_t code = detected.empty() ? kErrorAutoDetectionFailed : kErrorSuccess;
    const struct {
      const char* step;
      std::function<void()> before;
      int detections;
    } steps[] = {
        {"first", [] {}, 1},
        {"same network", [] {}, 1},
        {"network changed", [] { NoteNetworkChangeForSystemProxyService(); }, 2},
        {"kept a while", [&] { clock.Advance(kDetectionLifetime - std::chrono::seconds(1)); }, 2},
        {"lifetime over", [&] { clock.Advance(std::chrono::seconds(2)); }, 3},
    };
    for (const auto& step : steps) {
      SCOPED_TRACE(step.step);
      step.before();
      EXPECT_EQ(Run(detect).code, code);
      EXPECT_EQ(discovery->calls_.load(), step.detections);
    }
  }
}

TEST_F(LinuxWinHttpTest, AFailedDownloadIsRememberedForAWhilePerNetwork) {
  ovtest::ManualClock clock;
  Make();
  const struct {
    const char* step;
    std::function<void()> before;
    int attempts;
  } steps[] = {
      {"first", [] {}, 1},
      {"burst", [] {}, 1},
      {"still remembered", [&] { clock.Advance(kFailedScriptLifetime / 2); }, 1},
      {"forgotten", [&] { clock.Advance(kFailedScriptLifetime); }, 2},
      {"network changed", [] { NoteNetworkChangeForSystemProxyService(); }, 3},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.step);
    step.before();
    EXPECT_EQ(Run(ConfigUrl(Url("/gone.pac"))).code, kErrorUnableToDownloadScript);
    EXPECT_EQ(gone_hits_.load(), step.attempts);
  }
  // Other scripts are not affected.
  EXPECT_EQ(Run(ConfigUrl(Url("/ok.pac"))).code, kErrorSuccess);
}

#endif

}  // namespace
}  // namespace ovplatform
