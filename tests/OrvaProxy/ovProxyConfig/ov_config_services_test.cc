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
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

using std::chrono::seconds;

struct Heard {
  std::string config;
  ovProxyConfigAvailability availability;
  int64_t timestamp;
};

class RecordingObserver : public ovProxyConfigServiceObserver {
 public:
  void onProxyConfigChanged(const ovProxyConfig& config,
                            ovProxyConfigAvailability availability) override {
    heard.push_back({config.toString(), availability, config.getUpdateTimestamp()});
  }
  std::vector<Heard> heard;
};

ovplatform::UserProxySettings Manual(const std::string& proxy) {
  ovplatform::UserProxySettings settings;
  settings.proxy = proxy;
  settings.backend = "fake";
  return settings;
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
};

TEST(SystemSourceTranslationTest, Table) {
  struct Case {
    const char* name;
    ovplatform::UserProxySettings settings;
    bool has_settings;
    const char* printed;
  };
  const Case cases[] = {
      {"bypass alone counts for nothing", {false, "", "", "<local>"}, false, ""},
      {"proxy without rules counts for nothing", {false, "", "http=nohost", ""}, false, ""},
      {"PAC URL beside an unusable proxy",
       {false, "http://p/x.pac", "junk=1", ""},
       true,
       "ProxyConfig{type=PAC_SCRIPT, url=http://p/x.pac, source=System}"},
      {"per scheme with <local>",
       {false, "", "http=a:1", "<local>"},
       true,
       "ProxyConfig{type=MANUAL, http=PROXY a:1, source=System}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ovProxyConfig config;
    EXPECT_EQ(ovProxyConfigServiceWin::TranslateSettings(c.settings, config), c.has_settings);
    if (c.has_settings) {
      EXPECT_EQ(config.toString(), c.printed);
    }
  }
}

TEST_F(ConfigServicesTest, LazyPollingReadsAtMostOncePerInterval) {
  settings_.Set(Manual("p:1"));
  ovProxyConfigServiceWin service(kMainThreadRunnerName);
  RecordingObserver observer;
  service.addObserver(&observer);
  ovProxyConfig out;

  EXPECT_EQ(service.getLatestProxyConfig(out), CONFIG_PENDING);
  service.getLatestProxyConfig(out);
  Settle();
  EXPECT_EQ(settings_.reads(), 1);
  ASSERT_EQ(observer.heard.size(), 1u);
  EXPECT_EQ(service.getLatestProxyConfig(out), CONFIG_VALID);

  clock_.Advance(seconds(9));
  service.getLatestProxyConfig(out);
  Settle();
  EXPECT_EQ(settings_.reads(), 1);

  // An unchanged result still reaches the observer, with the old stamp.
  clock_.Advance(seconds(1));
  service.getLatestProxyConfig(out);
  Settle();
  EXPECT_EQ(settings_.reads(), 2);
  ASSERT_EQ(observer.heard.size(), 2u);
  EXPECT_EQ(observer.heard[1].timestamp, observer.heard[0].timestamp);

  // pollNow ignores the interval; a changed result gets a new stamp.
  settings_.Set(Manual("q:2"));
  clock_.Advance(seconds(1));
  service.pollNow();
  Settle();
  EXPECT_EQ(settings_.reads(), 3);
  ASSERT_EQ(observer.heard.size(), 3u);
  EXPECT_GT(observer.heard[2].timestamp, observer.heard[1].timestamp);
  service.removeObserver(&observer);
}

TEST_F(ConfigServicesTest, ForeignRunnerCallsAreIgnored) {
  ovProxyConfigServiceWin service(kMainThreadRunnerName);
  ovProxyConfigServiceManagerImpl manager(kMainThreadRunnerName);
  RecordingObserver observer;
  std::thread([&] {
    service.addObserver(&observer);
    manager.addObserver(&observer);
    ovProxyConfig out;
    EXPECT_EQ(service.getLatestProxyConfig(out), CONFIG_UNSET);
    EXPECT_EQ(manager.getBrowserType(), ovBrowserType::Undetected);
    manager.setBrowserType(ovBrowserType::Firefox);
  }).join();
  service.pollNow();
  ovProxyConfig out;
  manager.getLatestProxyConfig(out);
  Settle();
  EXPECT_TRUE(observer.heard.empty());
  EXPECT_EQ(manager.getBrowserType(), ovBrowserType::Other);
}

// A poll queued or running when its source goes must neither crash nor
// deliver (the sanitizer builds check the rest).
TEST_F(ConfigServicesTest, DestroyedWithPollsInFlight) {
  for (int i = 0; i < 20; ++i) {
    auto service = std::make_unique<ovProxyConfigServiceWin>(kMainThreadRunnerName);
    RecordingObserver observer;
    service->addObserver(&observer);
    service->pollNow();
    if (i % 2 == 0) env_.Flush("ProxyPollingRunner_Windows");
    service.reset();
    env_.RunUntilIdle();
    EXPECT_TRUE(observer.heard.empty());
  }
}

TEST_F(ConfigServicesTest, ManagerFiltersRepeatsAndNeedsObservers) {
  settings_.Set(Manual("p:1"));
  ovProxyConfigServiceManagerImpl manager(kMainThreadRunnerName);
  ovProxyConfig out;
  EXPECT_EQ(manager.getLatestProxyConfig(out), CONFIG_PENDING);
  Settle();  // heard by nobody, so not remembered

  RecordingObserver observer;
  manager.addObserver(&observer);
  manager.onNetworkStateChanged();
  Settle();
  clock_.Advance(seconds(10));
  manager.onLazyPoll();
  Settle();
  EXPECT_EQ(settings_.reads(), 3);
  ASSERT_EQ(observer.heard.size(), 1u);

  settings_.Set(Manual("q:2"));
  manager.onNetworkStateChanged();
  Settle();
  ASSERT_EQ(observer.heard.size(), 2u);
  EXPECT_EQ(observer.heard[1].config,
            "ProxyConfig{type=MANUAL, single_proxies=PROXY q:2, source=System}");
  manager.removeObserver(&observer);
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
  RecordingObserver observer;
  manager.addObserver(&observer);
  ovProxyConfig out;
  EXPECT_EQ(manager.getLatestProxyConfig(out), CONFIG_PENDING);
  EXPECT_EQ(manager.getBrowserType(), ovBrowserType::Firefox);
  // System results are held back while Firefox has not read yet.
  manager.onNetworkStateChanged();
  Settle();
  ASSERT_EQ(observer.heard.size(), 1u);
  EXPECT_EQ(observer.heard[0].config, "ProxyConfig{type=AUTO_DETECT, enabled=1, source=Firefox}");
  EXPECT_EQ(manager.getLatestProxyConfig(out), CONFIG_VALID);

  // Firefox switches to "use the system settings": the system source is
  // polled at once and its result passed on.
  os.WriteHomeFile(".mozilla/firefox/p/prefs.js", "user_pref(\"network.proxy.type\", 5);\n");
  const int reads = settings_.reads();
  manager.onNetworkStateChanged();
  Settle();
  EXPECT_GT(settings_.reads(), reads);
  ASSERT_EQ(observer.heard.size(), 2u);
  EXPECT_EQ(observer.heard[1].config,
            "ProxyConfig{type=MANUAL, single_proxies=PROXY sys:1, source=System}");
  manager.removeObserver(&observer);
}

}  // namespace
}  // namespace OVProxy
