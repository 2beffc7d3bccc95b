// WPAD: reading DHCP lease files, and discovery from leases, then DNS.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ovtest/fake_environment_os.h"
#include "ovtest/manual_clock.h"
#include "ovtest/scoped_temp_dir.h"
#include "platform/wpad/ov_dhcp_lease_parser.h"
#include "platform/wpad/ov_dhcp_lease_scanner.h"
#include "platform/wpad/ov_system_wpad_discovery.h"

namespace ovplatform {
namespace {

namespace fs = std::filesystem;

TEST(DhcpLeaseParser, ReadsEveryLeaseOfAFile) {
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> leases;  // "interface|URL|expiry"
  } cases[] = {
      {"dhclient named option",
       "lease {\n  interface \"eth0\";\n  fixed-address 10.0.0.5;\n"
       "  option wpad \"http://wpad.corp.example/wpad.dat\";\n"
       "  renew 4 2026/12/03 20:44:06;\n  expire 4 2026/12/03 20:49:46;\n}\n",
       {"eth0|http://wpad.corp.example/wpad.dat|1796330986"}},
      {"unknown option as hex bytes with a trailing zero",
       "lease { interface \"wlan0\"; option unknown-252 "
       "68:74:74:70:3a:2f:2f:70:2f:77:2e:64:61:74:0:a; expire epoch 1796330986; }",
       {"wlan0|http://p/w.dat|1796330986"}},
      {"quoted value with octal and hex escapes",
       "lease { interface \"eth1\"; option unknown-252 \"https://p\\x2fa\\\"b\\000\\n\"; "
       "expire never; }",
       {"eth1||-"}},  // the quote inside makes no valid URL
      {"leases in file order, other blocks and comments skipped",
       "default-duid \"\\000\\001\";\n# option wpad \"http://commented/\";\n"
       "lease6 { interface \"eth0\"; ia-na 1 { iaaddr ::1 { } } option wpad \"http://v6/\"; }\n"
       "lease { interface \"eth0\"; option wpad \"http://first/\"; }\n"
       "lease { interface \"eth0\"; option routers 10.0.0.1; }\n",
       {"eth0|http://first/|-", "eth0||-"}},
      {"a lease cut off by the end of the file is dropped",
       "lease { interface \"eth0\"; option wpad \"http://a/\"; }\n"
       "lease { interface \"eth0\"; option wpad \"http://half",
       {"eth0|http://a/|-"}},
      {"schemes other than http and https are refused",
       "lease { option wpad \"file:///etc/passwd\"; }\n"
       "lease { option wpad \"ftp://host/x\"; }\n"
       "lease { option wpad \"http://a b/\"; }\n"
       "lease { option wpad \"http://a/\\000evil\"; }\n",
       {"||-", "||-", "||-", "||-"}},
      {"a bad expiry date says nothing",
       "lease { expire 4 2026/02/30 10:00:00; } lease { expire 4 2026/1 10:00:00; }",
       {"||-", "||-"}},
      {"networkd private option as plain hex",
       "# This is private data.\nADDRESS=10.0.0.5\nOPTION_252=687474703a2f2f772f782e70616300\n",
       {"|http://w/x.pac|-"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> leases;
    for (const DhcpLease& l : ParseDhcpLeaseFile(c.text)) {
      leases.push_back(l.interface + "|" + l.wpadUrl + "|" +
                       (l.expiresAt ? std::to_string(*l.expiresAt) : "-"));
    }
    EXPECT_EQ(leases, c.leases);
  }
}

TEST(DhcpLeaseParser, DecodesOptionValuesAndLimitsUrlLength) {
  const struct {
    std::string value;
    std::optional<std::string> bytes;
  } cases[] = {
      {"\"a\\\"b\\\\c\\101\"", std::string("a\"b\\cA")},
      {"\"abc", std::nullopt},
      {"41:42:a", std::string("AB\n")},
      {"41::42", std::nullopt},
      {"41zz", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeDhcpOptionValue(c.value), c.bytes) << c.value;
  }
  // URLs are bounded in length.
  const std::string prefix = "http://host/";
  const std::string longest = prefix + std::string(kMaxWpadUrlLength - prefix.size(), 'a');
  EXPECT_EQ(NormalizeWpadUrl(longest + std::string(3, '\0') + "\r\n"), longest);
  EXPECT_EQ(NormalizeWpadUrl(longest + "a"), "");
}

class TempFolder : public ovtest::ScopedTempDir {
 public:
  // `age`: how long ago the file was last written.
  std::string Write(const std::string& relative, const std::string& text,
                    std::chrono::seconds age = std::chrono::seconds(0)) {
    const fs::path file = fs::path(path()) / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    fs::last_write_time(file, fs::file_time_type::clock::now() - age);
    return file.string();
  }
};

std::string DhclientLease(const std::string& interface, const std::string& wpad,
                          const std::string& expire = "never") {
  std::string text = "lease {\n  interface \"" + interface + "\";\n";
  if (!wpad.empty()) text += "  option wpad \"" + wpad + "\";\n";
  return text + "  expire " + expire + ";\n}\n";
}

// 2026-12-06 20:00:00 UTC, the wall-clock time of the manual clock.
constexpr int64_t kNowSeconds = 1796587200;

class WpadLeaseScan : public testing::Test {
 protected:
  WpadLeaseScan() { clock_.SetSystemTime100ns(kNowSeconds * 10'000'000); }

  ovtest::ManualClock clock_;
  TempFolder folder_;
};

TEST_F(WpadLeaseScan, OnlyTheNewestLeaseOfEachInterfaceCounts) {
  using std::chrono::hours;
  struct File {
    std::string name;
    std::string text;
    hours age;
  };
  const struct {
    const char* name;
    std::vector<File> files;
    std::string url;  // empty: nothing found
  } cases[] = {
      {"the office lease file is older than the home one of the same interface",
       {{"dhclient-11111111-2222-3333-4444-555555555555-wlan0.lease",
         DhclientLease("wlan0", "http://office/wpad.dat"), hours(48)},
        {"dhclient-66666666-2222-3333-4444-555555555555-wlan0.lease", DhclientLease("wlan0", ""),
         hours(1)}},
       ""},
      {"within one file the last lease is the newest",
       {{"dhclient.leases",
         DhclientLease("eth0", "http://old/") + DhclientLease("eth0", "http://new/"), hours(1)}},
       "http://new/"},
      {"an expired newest lease finds nothing",
       {{"dhclient.leases", DhclientLease("eth0", "http://gone/", "3 2026/12/02 10:00:00"),
         hours(1)}},
       ""},
      {"a lease that has not expired yet counts",
       {{"dhclient.leases", DhclientLease("eth0", "http://here/", "epoch 1796587201"), hours(1)}},
       "http://here/"},
      {"an interface without the option does not hide another's",
       {{"dhclient.eth0.leases", DhclientLease("eth0", ""), hours(1)},
        {"dhclient.wlan0.leases", DhclientLease("wlan0", "http://wireless/"), hours(5)}},
       "http://wireless/"},
      {"networkd files are per interface",
       {{"2", "OPTION_252=687474703a2f2f6f2f", hours(5)}, {"3", "ADDRESS=10.0.0.2", hours(1)}},
       "http://o/"},
      {"garbage and sub-folders are passed over",
       {{"sub/dhclient.leases", DhclientLease("eth0", "http://deep/"), hours(1)},
        {"junk", std::string("\x00\xff{{{\"", 6), hours(1)},
        {"dhclient.leases", DhclientLease("eth0", "http://top/"), hours(2)}},
       "http://top/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    for (const File& file : c.files) folder.Write(file.name, file.text, file.age);
    const auto hit = FindWpadUrlInLeases({{folder.path(), "", ""}}, kNowSeconds);
    EXPECT_EQ(hit ? hit->url : "", c.url);
  }
}

TEST_F(WpadLeaseScan, LocationsComeFromTheVariableOrTheDefaults) {
  const std::string file = folder_.Write("a/one.lease", DhclientLease("eth0", "http://file/"));
  folder_.Write("b/dhclient.eth1.leases", DhclientLease("eth1", "http://dir/"),
                std::chrono::hours(1));
  folder_.Write("b/other.txt", DhclientLease("eth2", "http://filtered/"), std::chrono::hours(2));

  ovtest::FakeEnvironmentOs os;
  os.SetEnv(kWpadLeaseDirsVariable, "::" + file + ":" + folder_.path() + "/b:");
  const std::vector<LeaseLocation> locations = WpadLeaseLocations();
  ASSERT_EQ(locations.size(), 2u);
  EXPECT_EQ(FindWpadUrlInLeases(locations, kNowSeconds)->url, "http://file/");

  // Name filters apply to folders: only "dhclient*.leases" in b/.
  const auto filtered =
      FindWpadUrlInLeases({{folder_.path() + "/b", "dhclient", ".leases"}}, kNowSeconds);
  EXPECT_EQ(filtered->url, "http://dir/");
  EXPECT_EQ(filtered->interface, "eth1");
}

// Answers every name with `addresses` and records the names asked.
struct FakeHostResolver : WpadHostResolver {
  std::vector<std::string> ResolveHost(const std::string& host) override {
    std::lock_guard<std::mutex> lock(mutex);
    asked.push_back(host);
    return host == "wpad" ? addresses : std::vector<std::string>{};
  }
  std::mutex mutex;
  std::vector<std::string> addresses, asked;
};

TEST_F(WpadLeaseScan, DhcpFirstThenTheSingleDnsName) {
  using S = WpadSource;
  const uint32_t kAll = kWpadDetectAll, kDns = kWpadDetectDns, kDhcp = kWpadDetectDhcp;
  const struct {
    uint32_t flags;
    bool lease;
    std::vector<std::string> dns;
    std::string url;
    WpadSource source;
    bool dnsAsked;
  } cases[] = {
      {kAll, true, {"10.0.0.9"}, "http://lease/", S::kDhcp, false},  // lease wins over DNS
      {kAll, false, {"10.0.0.9"}, kDnsWpadUrl, S::kDns, true},
      {kDns, true, {"fd00::9"}, kDnsWpadUrl, S::kDns, true},  // DNS only ignores leases
      {kDhcp, false, {"10.0.0.9"}, "", S::kNone, false},      // DHCP only never asks DNS
      {kAll, false, {"0.0.0.0", "::"}, "", S::kNone, true},   // blocked in the hosts file
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(i);
    std::error_code ignored;
    fs::remove(folder_.path() + "/dhclient.leases", ignored);
    if (c.lease) folder_.Write("dhclient.leases", DhclientLease("eth0", "http://lease/"));
    auto resolver = std::make_shared<FakeHostResolver>();
    resolver->addresses = c.dns;
    const WpadResult result =
        MakeSystemWpadDiscovery({resolver, std::vector<LeaseLocation>{{folder_.path(), "", ""}}})
            ->Detect(c.flags);
    EXPECT_EQ(result.url, c.url);
    EXPECT_EQ(result.source, c.source);
    // Only the plain name, never a walk up the domain labels.
    EXPECT_EQ(resolver->asked,
              c.dnsAsked ? std::vector<std::string>{"wpad"} : std::vector<std::string>{});
  }
}

// A DNS server that does not answer: every lookup blocks until released.
struct SlowHostResolver : WpadHostResolver {
  std::vector<std::string> ResolveHost(const std::string&) override {
    std::unique_lock<std::mutex> lock(mutex);
    ++asked;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
    return {"10.0.0.9"};
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
  }
  int Asked() {
    std::lock_guard<std::mutex> lock(mutex);
    return asked;
  }
  bool WaitAsked(int count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return asked >= count; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  int asked = 0;
  bool released = false;
};

TEST(WpadDnsLookup, ASlowDnsCountsAsNotFoundAfterTheBoundAndRunsOneLookup) {
  ovtest::ManualClock clock;
  auto dns = std::make_shared<SlowHostResolver>();
  struct ReleaseAtEnd {
    SlowHostResolver& dns;
    ~ReleaseAtEnd() { dns.Release(); }
  } release_at_end{*dns};
  const std::shared_ptr<WpadDiscovery> discovery =
      MakeSystemWpadDiscovery({dns, std::vector<LeaseLocation>{}});
  const auto detect = [&] {
    return std::async(std::launch::async, [&] { return discovery->Detect(kWpadDetectAll); });
  };

  // The first detection gives up once the bound passed on the clock.
  auto first = detect();
  ASSERT_TRUE(dns->WaitAsked(1));
  clock.Advance(kWpadLookupBound + std::chrono::milliseconds(1));
  ASSERT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(first.get().found());

  // The next one, while that lookup still hangs, waits for it (bounded
  // again) instead of starting another.
  auto second = detect();
  for (int i = 0;
       i < 1000 && second.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready;
       ++i) {
    clock.Advance(kWpadLookupBound);
  }
  ASSERT_EQ(second.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_FALSE(second.get().found());
  EXPECT_EQ(dns->Asked(), 1);

  // Once DNS answers, detection finds it.
  dns->Release();
  auto third = detect();
  ASSERT_EQ(third.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(third.get().url, kDnsWpadUrl);
}

}  // namespace
}  // namespace ovplatform
