// The system WinHTTP behind WinHttpApi. Wine's WinHttpCreateProxyResolver is
// a stub, so no request can be carried to its completion there: these tests
// pin what the layer answers around that (the stub's code is handed back
// unchanged, and no callback follows), and the conversion of a result list,
// which is fed by hand. The asynchronous resolver's own behaviour is tested
// on the fake service.
#include "platform/winhttp/ov_winhttp_win.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace ovplatform {
namespace {

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

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
  if (UnderWine()) {
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

}  // namespace
}  // namespace ovplatform
