// The test thread serves the owner runner; polls run on the sources' own
// runners and are waited for with Flush.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "OrvaProxy/ovProxyConfig/ov_firefox_profile.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_manager_impl.h"
#include "OrvaProxy/ovProxyConfig/ov_proxy_config_service_win.h"
#include "OrvaProxy/ov_task_constants.h"
#include "ovtest/fake_config_sources.h"
#include "ovtest/fake_environment_os.h"
#include "ovtest/log_capture.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

using std::chrono::seconds;
using Heard = std::vector<std::string>;

// What observers heard: each configuration printed, and its stamp.
class RecordingObserver : public ovProxyConfigServiceObserver {
 public:
  void onProxyConfigChanged(const ovProxyConfig& config, ovProxyConfigAvailability) override {
    heard.push_back(config.toString());
    stamps.push_back(config.getUpdateTimestamp());
  }
  Heard heard;
  std::vector<int64_t> stamps;
};

ovplatform::UserProxySettings Manual(const std::string& proxy) {
  return {.proxy = proxy, .backend = "fake"};
}

class ConfigServicesTest : public ::testing::Test {
 protected:
  // Lets every queued poll finish and its result reach the owner runner.
  void Settle() {
    for (int round = 0; round < 3; ++round) {
      env_.Flush("ProxyPollingRunner_Windows");
      env_.Flush("ProxyPollingRunner_Firefox");
      env_.RunUntilIdle();
    }
  }

  ovtest::ManualClock clock_;
  ovtest::TaskEnvironment env_;
  ovtest::FakeUserProxySettings settings_;
  ovtest::FakeDefaultBrowser browser_{"/usr/bin/chromium"};
  RecordingObserver observer_;  // outlives the services of a test
  ovProxyConfig out_;
};

TEST(SystemSourceTranslationTest, Table) {
  const std::pair<ovplatform::UserProxySettings, const char*> cases[] = {
      // Counts for nothing (nullptr): a bypass alone, a proxy without rules.
      {{false, "", "", "<local>"}, nullptr},
      {{false, "", "http=nohost", ""}, nullptr},
      {{false, "http://p/x.pac", "junk=1", ""},
       "ProxyConfig{type=PAC_SCRIPT, url=http://p/x.pac, source=System}"},
      {{false, "", "http=a:1", "<local>"},
       "ProxyConfig{type=MANUAL, http=PROXY a:1, source=System}"},
  };
  for (const auto& [settings, printed] : cases) {
    ovProxyConfig config;
    EXPECT_EQ(ovProxyConfigServiceWin::TranslateSettings(settings, config), printed != nullptr);
    if (printed != nullptr) {
      EXPECT_EQ(config.toString(), printed);
    }
  }
}

TEST_F(ConfigServicesTest, LazyPollingReadsAtMostOncePerInterval) {
  settings_.Set(Manual("p:1"));
  ovProxyConfigServiceWin service(kMainThreadRunnerName);
  service.addObserver(&observer_);
  EXPECT_EQ(service.getLatestProxyConfig(out_), CONFIG_PENDING);
  service.getLatestProxyConfig(out_);
  Settle();
  EXPECT_EQ(settings_.reads(), 1);
  ASSERT_EQ(observer_.heard.size(), 1u);
  EXPECT_EQ(service.getLatestProxyConfig(out_), CONFIG_VALID);

  clock_.Advance(seconds(9));
  service.getLatestProxyConfig(out_);
  Settle();
  EXPECT_EQ(settings_.reads(), 1);

  // An unchanged result still reaches the observer, with the old stamp.
  clock_.Advance(seconds(1));
  service.getLatestProxyConfig(out_);
  Settle();
  EXPECT_EQ(settings_.reads(), 2);
  ASSERT_EQ(observer_.stamps.size(), 2u);
  EXPECT_EQ(observer_.stamps[1], observer_.stamps[0]);

  // pollNow ignores the interval; a changed result gets a newer stamp, even
  // after the wall clock was stepped back.
  settings_.Set(Manual("q:2"));
  clock_.SetSystemTime100ns(clock_.SystemNow100ns() - int64_t{3600} * 10'000'000);
  clock_.Advance(seconds(1));
  service.pollNow();
  Settle();
  EXPECT_EQ(settings_.reads(), 3);
  ASSERT_EQ(observer_.stamps.size(), 3u);
  EXPECT_GT(observer_.stamps[2], observer_.stamps[1]);
}

// Calls from a foreign runner are ignored; a poll queued or running when its
// source goes must neither crash nor deliver (the sanitizer builds check the
// rest).
TEST_F(ConfigServicesTest, ForeignCallsAndPollsOfDestroyedSourcesDeliverNothing) {
  ovProxyConfigServiceWin service(kMainThreadRunnerName);
  ovProxyConfigServiceManagerImpl manager(kMainThreadRunnerName);
  std::thread([&] {
    service.addObserver(&observer_);
    manager.addObserver(&observer_);
    ovProxyConfig out;
    EXPECT_EQ(service.getLatestProxyConfig(out), CONFIG_UNSET);
    EXPECT_EQ(manager.getBrowserType(), ovBrowserType::Undetected);
    manager.setBrowserType(ovBrowserType::Firefox);
  }).join();
  service.pollNow();
  manager.getLatestProxyConfig(out_);
  Settle();
  EXPECT_EQ(manager.getBrowserType(), ovBrowserType::Other);
  for (int i = 0; i < 20; ++i) {
    auto doomed = std::make_unique<ovProxyConfigServiceWin>(kMainThreadRunnerName);
    doomed->addObserver(&observer_);
    doomed->pollNow();
    if (i % 2 == 0) env_.Flush("ProxyPollingRunner_Windows");
    doomed.reset();
    env_.RunUntilIdle();
  }
  EXPECT_TRUE(observer_.heard.empty());
}

TEST_F(ConfigServicesTest, ManagerFiltersRepeatsAndNeedsObservers) {
  settings_.Set(Manual("p:1"));
  ovProxyConfigServiceManagerImpl manager(kMainThreadRunnerName);
  EXPECT_EQ(manager.getLatestProxyConfig(out_), CONFIG_PENDING);
  Settle();  // heard by nobody, so not remembered

  manager.addObserver(&observer_);
  manager.onNetworkStateChanged();
  Settle();
  clock_.Advance(seconds(10));
  manager.onLazyPoll();
  Settle();
  EXPECT_EQ(settings_.reads(), 3);
  settings_.Set(Manual("q:2"));
  manager.onNetworkStateChanged();
  Settle();
  EXPECT_EQ(observer_.heard,
            (Heard{"ProxyConfig{type=MANUAL, single_proxies=PROXY p:1, source=System}",
                   "ProxyConfig{type=MANUAL, single_proxies=PROXY q:2, source=System}"}));
}

TEST_F(ConfigServicesTest, FirefoxAsDefaultBrowser) {
  ovtest::FakeEnvironmentOs os;
  OverrideFirefoxDataFoldersForTesting(
      std::vector<std::string>{ovplatform::JoinPath(os.home(), ".mozilla/firefox")});
  struct RestoreFolders {
    ~RestoreFolders() { OverrideFirefoxDataFoldersForTesting(std::nullopt); }
  } restore_folders;
  os.WriteHomeFile(".mozilla/firefox/profiles.ini", "[Profile0]\nPath=p\n");
  os.WriteHomeFile(".mozilla/firefox/p/prefs.js", "user_pref(\"network.proxy.type\", 4);\n");
  browser_.SetProgram("/usr/lib/Firefox/firefox-bin");
  settings_.Set(Manual("sys:1"));

  ovProxyConfigServiceManagerImpl manager(kMainThreadRunnerName);
  manager.addObserver(&observer_);
  EXPECT_EQ(manager.getLatestProxyConfig(out_), CONFIG_PENDING);
  EXPECT_EQ(manager.getBrowserType(), ovBrowserType::Firefox);
  // System results are held back while Firefox has not read yet.
  manager.onNetworkStateChanged();
  Settle();
  const std::string firefox = "ProxyConfig{type=AUTO_DETECT, enabled=1, source=Firefox}";
  EXPECT_EQ(observer_.heard, Heard{firefox});
  EXPECT_EQ(manager.getLatestProxyConfig(out_), CONFIG_VALID);

  // Firefox switches to "use the system settings": the system source is
  // polled at once, its result passed on.
  os.WriteHomeFile(".mozilla/firefox/p/prefs.js", "user_pref(\"network.proxy.type\", 5);\n");
  const int reads = settings_.reads();
  manager.onNetworkStateChanged();
  Settle();
  EXPECT_GT(settings_.reads(), reads);
  EXPECT_EQ(
      observer_.heard,
      (Heard{firefox, "ProxyConfig{type=MANUAL, single_proxies=PROXY sys:1, source=System}"}));
}

// With Firefox in force, polls and requests that change nothing add no log
// lines; what is not used is said when it starts and when it ends.
TEST_F(ConfigServicesTest, RepeatedPollsAndRequestsLogOnlyChanges) {
  ovtest::FakeEnvironmentOs os;
  OverrideFirefoxDataFoldersForTesting(
      std::vector<std::string>{ovplatform::JoinPath(os.home(), ".config/mozilla/firefox")});
  struct RestoreFolders {
    ~RestoreFolders() { OverrideFirefoxDataFoldersForTesting(std::nullopt); }
  } restore_folders;
  os.WriteHomeFile(".config/mozilla/firefox/profiles.ini", "[Profile0]\nPath=p\n");
  const std::string manual =
      "user_pref(\"network.proxy.type\", 1);\n"
      "user_pref(\"network.proxy.http\", \"p\");user_pref(\"network.proxy.http_port\", 1);\n";
  os.WriteHomeFile(".config/mozilla/firefox/p/prefs.js",
                   manual + "user_pref(\"network.proxy.no_proxies_on\", \"10.0.0.0/33\");\n");
  browser_.SetProgram("/usr/lib/firefox-esr/firefox-esr");
  ovtest::LogCapture log;
  auto count = [&log](const std::string& text) {
    int n = 0;
    for (const klb::LogRecord& record : log.Records()) {
      n += record.message.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
  };

  ovProxyConfigServiceManagerImpl manager(kMainThreadRunnerName);
  manager.addObserver(&observer_);
  for (int poll = 0; poll < 4; ++poll) {
    for (int request = 0; request < 5; ++request) manager.getLatestProxyConfig(out_);
    Settle();
    clock_.Advance(seconds(10));
  }
  EXPECT_EQ(observer_.heard, Heard{"ProxyConfig{type=MANUAL, http=PROXY p:1, source=Firefox}"});
  EXPECT_EQ(count("Config source selected"), 1) << log.Dump();
  EXPECT_EQ(count("Received config change - from=Firefox"), 1) << log.Dump();
  EXPECT_EQ(count("prejs_parser"), 0) << log.Dump();
  EXPECT_EQ(count("ProxyConfigServiceFirefox: Settings not used - bypass entry 10.0.0.0/33: "
                  "not an address range"),
            1)
      << log.Dump();

  // Mended: said once more, then quiet again.
  os.WriteHomeFile(".config/mozilla/firefox/p/prefs.js", manual);
  for (int poll = 0; poll < 3; ++poll) {
    manager.getLatestProxyConfig(out_);
    Settle();
    clock_.Advance(seconds(10));
  }
  EXPECT_EQ(count("ProxyConfigServiceFirefox: Settings not used - none any more"), 1) << log.Dump();
  EXPECT_EQ(count("Settings not used"), 2) << log.Dump();
}

}  // namespace
}  // namespace OVProxy
