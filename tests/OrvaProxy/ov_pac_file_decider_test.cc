#include "OrvaProxy/ov_pac_file_decider.h"
#include "OrvaProxy/ov_pac_file_decider_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ov_pac_file_downloader.h"
#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "onetxfer/oxfer_types.h"
#include "orvatask/orva_task.h"
#include "ovtest/fake_auto_proxy_detector.h"
#include "ovtest/fake_feature_sources.h"
#include "ovtest/fake_file_xfer_module.h"
#include "ovtest/fake_pac_downloader.h"
#include "ovtest/fake_policy_provider.h"
#include "ovtest/fake_telemetry_module.h"
#include "ovtest/log_capture.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

using namespace std::chrono_literals;
using ovplatform::PROXY_AUTO_DETECT_TYPE_DHCP;
using ovplatform::PROXY_AUTO_DETECT_TYPE_DNS_A;

constexpr const char kPac[] = "function FindProxyForURL(url, host) { return \"DIRECT\"; }";

struct Decision {
  bool success = false;
  std::string content;
  std::string backup;
};

class RecordingDelegate final : public ovPacFileDeciderDelegate {
 public:
  void onPacDecisionComplete(bool success, const std::string& pacContent,
                             const std::string& backupPacContent) override {
    decisions.push_back({success, pacContent, backupPacContent});
  }
  std::vector<Decision> decisions;
};

class TestAdapter : public ovProxyEnterpriseAdapter {};
constexpr oPolicyId kBackupPolicy = 9002;

std::shared_ptr<ovProxyConfig> AutoDetect(const std::string& pacUrl = "") {
  auto config = std::make_shared<ovProxyConfig>(ovProxyConfig::CreateAutoDetect());
  config->setPacUrl(pacUrl);
  return config;
}

std::shared_ptr<ovProxyConfig> PacUrl(const std::string& url) {
  return std::make_shared<ovProxyConfig>(ovProxyConfig::CreateFromCustomPacURL(url));
}

class PacFileDeciderTest : public ::testing::Test {
 protected:
  PacFileDeciderTest() {
    env_.manager().CreateRunner("pac_decider_task_runner", 61);
    decider_ = MakeDecider(downloads_, detector_, &delegate_);
    adapter_.RegisterFeature("UseBackupPacForDetectFail", kBackupPolicy, FeatureValue::Type::Bool,
                             false);
    decider_->setEnterpriseAdapter(&adapter_);
  }
  ~PacFileDeciderTest() override { decider_.reset(); }
  std::unique_ptr<ovPACFileDecider> MakeDecider(
      std::shared_ptr<ovtest::FakePacDownloads> downloads,
      std::shared_ptr<ovtest::FakeAutoProxyDetector> detector, RecordingDelegate* delegate) {
    auto decider = std::make_unique<ovPACFileDecider>(downloads->Create(), detector);
    decider->setDelegate(delegate);
    decider->setCallbackRunner("main.thread.runner");
    return decider;
  }

  // Lets a detection finish and its result reach the decider.
  void Pump() {
    env_.Flush("pac_decider_task_runner");
    env_.RunUntilIdle();
  }
  void Finish(std::size_t index, const std::string& content, bool success,
              const std::string& error = "boom") {
    ASSERT_TRUE(downloads_->Finish(index, content, success, error));
    env_.RunUntilIdle();
  }
  std::vector<std::string> Urls() const { return Urls(*downloads_); }
  static std::vector<std::string> Urls(const ovtest::FakePacDownloads& downloads) {
    std::vector<std::string> urls;
    for (const auto& request : downloads.requests()) urls.push_back(request.url);
    return urls;
  }
  ovtest::ManualClock clock_;
  ovtest::TaskEnvironment env_;
  ovtest::FakeTelemetryModule telemetry_;
  ovtest::LogCapture log_;
  ovtest::FakePolicyProvider policies_;
  ovtest::FakeFeatureToggles toggles_;
  ovtest::FakeExperimentMgr experiments_;
  TestAdapter adapter_;
  RecordingDelegate delegate_;
  std::shared_ptr<ovtest::FakeAutoProxyDetector> detector_ =
      std::make_shared<ovtest::FakeAutoProxyDetector>();
  std::shared_ptr<ovtest::FakePacDownloads> downloads_ =
      std::make_shared<ovtest::FakePacDownloads>();
  std::unique_ptr<ovPACFileDecider> decider_;
};

TEST_F(PacFileDeciderTest, KnownContentAnswersAtOnceWithoutNetwork) {
  auto config = PacUrl("http://pac/");
  config->setPacContent(kPac);
  ASSERT_TRUE(decider_->setConfig(config));
  EXPECT_EQ(decider_->GetPacContent(), e_success);
  ASSERT_EQ(delegate_.decisions.size(), 1u);
  EXPECT_TRUE(delegate_.decisions[0].success);
  EXPECT_EQ(delegate_.decisions[0].content, kPac);
  Pump();
  EXPECT_TRUE(detector_->calls().empty());
  EXPECT_TRUE(downloads_->requests().empty());
}

// Nothing detected and nothing configured fails without a window: the next
// request detects again.
TEST_F(PacFileDeciderTest, DetectionTriesDhcpThenDnsThenTheConfiguredUrl) {
  constexpr uint32_t kDhcp = PROXY_AUTO_DETECT_TYPE_DHCP, kDns = PROXY_AUTO_DETECT_TYPE_DNS_A;
  const struct {
    const char *dhcp, *dns, *configured;
    std::vector<uint32_t> calls;
    const char* downloaded;  // "" for none: the decision failed
    const char* origin;      // as a request's road tells it
  } cases[] = {
      {"http://dhcp/w", "http://dns/w", "", {kDhcp}, "http://dhcp/w", "dhcp"},
      {"", "http://dns/w", "http://cfg/p", {kDhcp, kDns}, "http://dns/w", "dns"},
      {"", "", "http://cfg/p", {kDhcp, kDns}, "http://cfg/p", "configuration"},
      {"", "", "", {kDhcp, kDns, kDhcp, kDns}, "", "configuration"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.downloaded);
    auto detector = std::make_shared<ovtest::FakeAutoProxyDetector>();
    detector->SetAnswer(kDhcp, c.dhcp);
    detector->SetAnswer(kDns, c.dns);
    auto downloads = std::make_shared<ovtest::FakePacDownloads>();
    RecordingDelegate delegate;
    auto decider = MakeDecider(downloads, detector, &delegate);
    decider->setConfig(AutoDetect(c.configured));
    EXPECT_EQ(decider->GetPacContent(), e_pending);
    EXPECT_EQ(decider->GetPacContent(), e_pending);  // no second detection
    Pump();
    const bool found = *c.downloaded;
    if (!found) {
      ASSERT_EQ(delegate.decisions.size(), 1u);
      EXPECT_FALSE(delegate.decisions[0].success);
      EXPECT_EQ(decider->state(), DeciderState::UrlReady);
      EXPECT_EQ(decider->GetPacContent(), e_pending);
      Pump();
    }
    EXPECT_EQ(detector->calls(), c.calls);
    EXPECT_EQ(Urls(*downloads),
              found ? std::vector<std::string>{c.downloaded} : std::vector<std::string>{});
    EXPECT_EQ(delegate.decisions.size(), found ? 0u : 2u);
    EXPECT_EQ(decider->pacFacts().origin, c.origin);
  }
}

TEST_F(PacFileDeciderTest, FailedDetectedDownloadIsRetriedOnceWithTheConfiguredUrl) {
  detector_->SetAnswer(PROXY_AUTO_DETECT_TYPE_DHCP, "http://dhcp/wpad.dat");
  decider_->setConfig(AutoDetect("http://cfg/p.pac"));
  decider_->GetPacContent();
  Pump();
  Finish(0, "", false, "xfer download stream failure");
  EXPECT_EQ(Urls(), (std::vector<std::string>{"http://dhcp/wpad.dat", "http://cfg/p.pac"}));
  EXPECT_TRUE(delegate_.decisions.empty());
  EXPECT_EQ(decider_->state(), DeciderState::Downloading);
  Finish(1, "", false, "xfer download stream failure");
  ASSERT_EQ(delegate_.decisions.size(), 1u);
  EXPECT_FALSE(delegate_.decisions[0].success);
  EXPECT_EQ(Urls().size(), 2u);
  // Closed for 30 minutes, then the configured URL is fetched again.
  clock_.Advance(29min + 59s);
  EXPECT_EQ(decider_->GetPacContent(), e_pac_unavailable);
  EXPECT_EQ(Urls().size(), 2u);
  clock_.Advance(1s);
  EXPECT_EQ(decider_->GetPacContent(), e_pending);
  EXPECT_EQ(Urls().back(), "http://cfg/p.pac");
}

TEST_F(PacFileDeciderTest, DownloadOutcomesDecideSuccessAndTheWindow) {
  const struct {
    std::string content;
    bool success;
    bool decided;     // the decision the delegate hears
    eErrorCode next;  // GetPacContent afterwards
    const char* error;
    const char* download;  // as a request's road tells it
  } cases[] = {
      {kPac, true, true, e_success, "", "fresh"},
      {kPac, true, true, e_success, "xfer download no update", "not modified"},
      {std::string(200, 'x'), true, false, e_pac_unavailable, "", "failed"},
      {"", true, true, e_pending, "", "in progress"},  // empty counts as success, fetches again
      {"", false, false, e_pac_unavailable, "", "failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.size());
    auto downloads = std::make_shared<ovtest::FakePacDownloads>();
    RecordingDelegate delegate;
    auto decider = MakeDecider(downloads, detector_, &delegate);
    decider->setConfig(PacUrl("http://cfg/p.pac"));
    ASSERT_EQ(decider->GetPacContent(), e_pending);
    ASSERT_TRUE(downloads->Finish(0, c.content, c.success, c.error));
    env_.RunUntilIdle();
    ASSERT_EQ(delegate.decisions.size(), 1u);
    EXPECT_EQ(delegate.decisions[0].success, c.decided);
    EXPECT_EQ(decider->GetPacContent(), c.next);
    EXPECT_EQ(decider->getConfig()->getPacContent(), c.decided ? c.content : "");
    EXPECT_EQ(decider->pacFacts().download, c.download);
    EXPECT_EQ(decider->pacFacts().url, "http://cfg");
  }
  EXPECT_FALSE(log_.Contains("http://cfg/p.pac")) << "the PAC URL is never logged";
}

TEST_F(PacFileDeciderTest, MonitorFailsASlowDownloadAndALateResultStillCounts) {
  decider_->setConfig(PacUrl("http://cfg/p.pac"));
  decider_->GetPacContent();
  clock_.Advance(4999ms);
  env_.RunUntilIdle();
  EXPECT_EQ(decider_->state(), DeciderState::Downloading);
  clock_.Advance(1ms);
  env_.RunUntilIdle();
  EXPECT_EQ(decider_->state(), DeciderState::Failed);
  ASSERT_EQ(delegate_.decisions.size(), 1u);
  EXPECT_FALSE(delegate_.decisions[0].success);
  EXPECT_EQ(decider_->GetPacContent(), e_pac_download_failed);
  EXPECT_EQ(delegate_.decisions.size(), 2u);
  EXPECT_TRUE(downloads_->cancels().empty());  // the transfer goes on
  Finish(0, kPac, true);
  EXPECT_EQ(decider_->state(), DeciderState::Finished);
  ASSERT_EQ(delegate_.decisions.size(), 3u);
  EXPECT_TRUE(delegate_.decisions[2].success);
  EXPECT_EQ(delegate_.decisions[2].backup, kPac);
  // A finished download leaves no monitor behind.
  clock_.Advance(10s);
  env_.RunUntilIdle();
  EXPECT_EQ(decider_->state(), DeciderState::Finished);
}

TEST_F(PacFileDeciderTest, ImmediateFailuresWithoutIdsAreCountedOnce) {
  downloads_->LeaveIdsEmpty(true);
  decider_->setConfig(PacUrl("http://a/p.pac"));
  decider_->GetPacContent();
  // A second start after a reset, while the first outcome is still queued.
  decider_->setState(DeciderState::Idle);
  decider_->GetPacContent();
  ASSERT_TRUE(downloads_->Finish(0, "", false, "xfer is not available"));
  ASSERT_TRUE(downloads_->Finish(1, "", false, "xfer is not available"));
  env_.RunUntilIdle();
  EXPECT_EQ(delegate_.decisions.size(), 1u);
}

TEST_F(PacFileDeciderTest, VerifiedScriptIsKeptSyncedAndServedAsBackup) {
  std::vector<std::pair<std::string, std::string>> synced;
  decider_->setDataSyncHook([&synced](const ovProxyConfig& config, const std::string& content) {
    synced.emplace_back(config.getPacUrl(), content);
  });
  decider_->setConfig(PacUrl("http://a/p.pac"));
  decider_->GetPacContent();
  Finish(0, kPac, true);
  ASSERT_EQ(synced.size(), 1u);
  EXPECT_EQ(synced[0], std::make_pair(std::string("http://a/p.pac"), std::string(kPac)));
  // Same URL: the script is kept across configurations.
  auto rules = PacUrl("http://a/p.pac");
  rules->proxy_rules().ParseFromString("proxy:80");
  ASSERT_TRUE(decider_->setConfig(rules));
  EXPECT_EQ(decider_->getConfig()->getPacContent(), kPac);
  // Another URL: no script of its own, the backup only when the policy says so.
  ASSERT_TRUE(decider_->setConfig(PacUrl("http://b/p.pac")));
  EXPECT_TRUE(decider_->getConfig()->isPacContentEmpty());
  policies_.Set(kBackupPolicy, true);
  adapter_.LoadFeature("UseBackupPacForDetectFail");
  EXPECT_EQ(decider_->getConfig()->getPacContent(), kPac);
  decider_->GetPacContent();
  EXPECT_EQ(decider_->state(), DeciderState::Downloading);  // its own config has none
  // A failed verification neither syncs nor replaces the backup.
  Finish(1, std::string(300, 'y'), true);
  EXPECT_EQ(synced.size(), 1u);
  EXPECT_EQ(delegate_.decisions.back().backup, kPac);
}

// A detection or a download still running when a new configuration comes
// or the decider goes: it is cancelled, and its late result decides nothing,
// starts nothing and fires no monitor.
TEST_F(PacFileDeciderTest, AbandonedWorkDecidesNothing) {
  for (const bool detecting : {true, false}) {
    for (const bool destroyed : {true, false}) {
      SCOPED_TRACE(testing::Message() << "detecting=" << detecting << " destroyed=" << destroyed);
      auto detector = std::make_shared<ovtest::FakeAutoProxyDetector>();
      auto downloads = std::make_shared<ovtest::FakePacDownloads>();
      RecordingDelegate delegate;
      auto decider = MakeDecider(downloads, detector, &delegate);
      detector->SetAnswer(PROXY_AUTO_DETECT_TYPE_DHCP, "http://stale/wpad.dat");
      if (detecting) detector->Hold();
      decider->setConfig(detecting ? AutoDetect() : PacUrl("http://a/p.pac"));
      decider->GetPacContent();
      if (detecting) detector->WaitForCalls(1);
      if (destroyed) {
        decider.reset();
        EXPECT_EQ(downloads->alive(), 0);
      } else {
        auto same = PacUrl("http://a/p.pac");  // content and time do not count
        same->setPacContent("other text");
        same->setUpdateTimestamp(42);
        EXPECT_EQ(decider->setConfig(same), detecting);
        EXPECT_TRUE(decider->setConfig(PacUrl("http://fresh/p.pac")));
        EXPECT_EQ(decider->state(), DeciderState::Idle);
      }
      if (!detecting) {
        EXPECT_EQ(downloads->cancels(), std::vector<PacRequestId>{u"dl-1"});
        ASSERT_TRUE(downloads->Finish(0, kPac, true));
      }
      detector->Release();
      Pump();
      clock_.Advance(6s);
      env_.RunUntilIdle();
      EXPECT_TRUE(delegate.decisions.empty());
      EXPECT_EQ(downloads->requests().size(), detecting ? 0u : 1u) << "nothing started late";
      if (!destroyed) {
        EXPECT_EQ(decider->state(), DeciderState::Idle);
        EXPECT_TRUE(decider->getConfig()->isPacContentEmpty());
      }
    }
  }
}

// A network change forgets the detected URL and the script in force, even
// inside a failure window: the next request detects and downloads again.
TEST_F(PacFileDeciderTest, NetworkChangeDecidesAgainForTheNewNetwork) {
  int changes = 0;
  decider_->setScriptChangeHook([&changes] { ++changes; });
  detector_->SetAnswer(PROXY_AUTO_DETECT_TYPE_DHCP, "http://office/wpad.dat");
  decider_->setConfig(AutoDetect());
  decider_->GetPacContent();
  Pump();
  Finish(0, kPac, true);
  EXPECT_EQ(decider_->GetPacContent(), e_success);
  decider_->restartForNetworkChange();
  EXPECT_EQ(changes, 0) << "the owner forgets the old answers itself";
  EXPECT_TRUE(decider_->getConfig()->isPacContentEmpty());
  detector_->SetAnswer(PROXY_AUTO_DETECT_TYPE_DHCP, "http://home/wpad.dat");
  EXPECT_EQ(decider_->GetPacContent(), e_pending);
  Pump();
  Finish(1, "", false);  // opens the 30-minute window
  EXPECT_EQ(decider_->GetPacContent(), e_pac_unavailable);
  decider_->restartForNetworkChange();
  EXPECT_EQ(decider_->GetPacContent(), e_pending);
  Pump();
  // A download running at a change is cancelled; its outcome decides nothing.
  decider_->restartForNetworkChange();
  EXPECT_EQ(downloads_->cancels(), std::vector<PacRequestId>{u"dl-3"});
  const std::size_t heard = delegate_.decisions.size();
  Finish(2, kPac, true);
  EXPECT_EQ(delegate_.decisions.size(), heard);
  EXPECT_TRUE(decider_->getConfig()->isPacContentEmpty());
  EXPECT_EQ(Urls(), (std::vector<std::string>{"http://office/wpad.dat", "http://home/wpad.dat",
                                              "http://home/wpad.dat"}));
  // The office script is not revalidated any more.
  clock_.Advance(40min);
  env_.RunUntilIdle();
  EXPECT_EQ(Urls().size(), 3u);
}

// A downloaded script is fetched again after the revalidation delay, one
// fetch at a time, while requests keep being answered from it; only a new
// verified text replaces it (and only then is the owner told).
TEST_F(PacFileDeciderTest, ScriptInForceIsRevalidatedPeriodically) {
  const std::string kNew = std::string(kPac) + " // v2";
  const struct {
    const char* name;
    std::string content;
    bool success;
    std::string in_force;
    int changes;
  } cases[] = {
      {"unchanged (a 304 hands back the kept copy)", kPac, true, kPac, 0},
      {"new script", kNew, true, kNew, 1},
      {"server down", "", false, kPac, 0},
      {"not a PAC script", std::string(300, 'z'), true, kPac, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto downloads = std::make_shared<ovtest::FakePacDownloads>();
    RecordingDelegate delegate;
    auto decider = MakeDecider(downloads, detector_, &delegate);
    int changes = 0;
    decider->setScriptChangeHook([&changes] { ++changes; });
    std::vector<std::string> synced;
    decider->setDataSyncHook(
        [&synced](const ovProxyConfig&, const std::string& text) { synced.push_back(text); });
    decider->setConfig(PacUrl("http://cfg/p.pac"));
    decider->GetPacContent();
    ASSERT_TRUE(downloads->Finish(0, kPac, true));
    env_.RunUntilIdle();
    const std::chrono::milliseconds delay(decider->revalidateDelayMs());
    EXPECT_GE(delay, 30min);
    EXPECT_LT(delay, 33min);
    clock_.Advance(delay - 1ms);
    env_.RunUntilIdle();
    EXPECT_EQ(downloads->requests().size(), 1u);
    clock_.Advance(1ms);
    env_.RunUntilIdle();
    ASSERT_EQ(Urls(*downloads), (std::vector<std::string>{"http://cfg/p.pac", "http://cfg/p.pac"}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(decider->GetPacContent(), e_success);
    clock_.Advance(10min);
    env_.RunUntilIdle();
    EXPECT_EQ(downloads->requests().size(), 2u) << "one revalidation at a time";
    ASSERT_TRUE(downloads->Finish(1, c.content, c.success));
    env_.RunUntilIdle();
    EXPECT_EQ(decider->getConfig()->getPacContent(), c.in_force);
    EXPECT_EQ(changes, c.changes);
    EXPECT_EQ(synced.size(), 1u + c.changes);
    EXPECT_EQ(decider->state(), DeciderState::Finished);
    clock_.Advance(delay);  // and again, whatever the outcome
    env_.RunUntilIdle();
    EXPECT_EQ(downloads->requests().size(), 3u);
  }
}

// Deciders share the grouping value 61; the teardown of one must leave the
// queued work of the others alone.
TEST_F(PacFileDeciderTest, TeardownCancelsOnlyItsOwnWork) {
  for (const bool host : {false, true}) {
    SCOPED_TRACE(host ? "host's releaseRunners" : "destruction");
    auto downloads = std::make_shared<ovtest::FakePacDownloads>();
    RecordingDelegate other_delegate;
    auto other = MakeDecider(downloads, detector_, &other_delegate);
    other->setConfig(PacUrl("http://other/p.pac"));
    other->GetPacContent();  // its download monitor is queued

    auto gone = std::make_unique<ovPacFileDeciderHost>(downloads_->Create(), detector_, &adapter_);
    gone->prepareRunners("main.thread.runner");
    gone->setConfig(PacUrl("http://gone/p.pac"));
    gone->GetPacContent();
    if (host) {
      gone->releaseRunners();
    } else {
      gone.reset();
    }
    clock_.Advance(5s);
    env_.RunUntilIdle();
    EXPECT_EQ(other->state(), DeciderState::Failed);
    ASSERT_EQ(other_delegate.decisions.size(), 1u);
    env_.manager().CreateRunner("pac_decider_task_runner", 61);
  }
}

constexpr const char kRunner[] = "main.thread.runner";
constexpr const char kUrl[] = "http://wpad.corp/wpad.dat";
constexpr const char kOtherUrl[] = "http://other.corp/proxy.pac";

struct Delivered {
  PacRequestId id;
  std::string content;
  bool success = false;
  std::string error;
};

class PacFileDownloaderTest : public ::testing::Test {
 protected:
  PacFileDownloaderTest() { experiments_.Enable("UseFileXfer"); }
  // Starts a download and answers the id the downloader wrote.
  PacRequestId Start(const std::string& url) {
    PacRequestId id;
    downloader_->Download(
        id, url,
        [this](const PacRequestId& requestId, const std::string& content, bool success,
               const std::string& error) {
          delivered_.push_back({requestId, content, success, error});
        },
        kRunner);
    return id;
  }

  // Delivers whatever was posted and answers the one outcome.
  Delivered Outcome() {
    delivered_.clear();
    env_.RunUntilIdle();
    EXPECT_EQ(delivered_.size(), 1u);
    return delivered_.empty() ? Delivered{} : delivered_.back();
  }

  ovtest::TaskEnvironment env_;
  ovtest::FakeExperimentMgr experiments_;
  ovtest::FakeFileXferModule xfer_;
  std::unique_ptr<ovPACFileDownloader> downloader_ = std::make_unique<ovPACFileDownloader>();
  std::vector<Delivered> delivered_;
};

TEST_F(PacFileDownloaderTest, MissingLinksFailOnTheCallbackRunnerNeverInline) {
  using Break = void (*)(ovtest::FakeExperimentMgr&, ovtest::FakeFileXferModule&);
  const std::pair<Break, const char*> cases[] = {
      {[](auto& e, auto&) { e.Disable("UseFileXfer"); }, "xfer is not available"},
      {[](auto&, auto& x) { x.SetReady(false); }, "xfer is not available"},
      {[](auto&, auto& x) { x.RefuseStarts(true); }, "xfer request start failed"},
  };
  for (const auto& [breakIt, error] : cases) {
    SCOPED_TRACE(error);
    delivered_.clear();
    breakIt(experiments_, xfer_);
    EXPECT_TRUE(Start(kUrl).empty());
    EXPECT_TRUE(delivered_.empty()) << "never inline";
    const Delivered out = Outcome();
    EXPECT_FALSE(out.success);
    EXPECT_EQ(out.error, error);
    experiments_.Enable("UseFileXfer");
    xfer_.SetReady(true);
    xfer_.RefuseStarts(false);
  }
  EXPECT_TRUE(xfer_.starts().empty());
  // Outcomes are grouped with the decider's tasks, so cancelling the group drops them.
  delivered_.clear();
  experiments_.Disable("UseFileXfer");
  Start(kUrl);
  EXPECT_EQ(env_.manager().CancelTasksByValue(61), 1u);
  env_.RunUntilIdle();
  EXPECT_TRUE(delivered_.empty());
}

TEST_F(PacFileDownloaderTest, ValidatorsCacheAndNoUpdateFollowTheUrl) {
  const std::string pac = "function FindProxyForURL(u, h) { return 'DIRECT'; }";
  const PacRequestId unasked = Start(kUrl);  // a server answering 304 to a first request
  ASSERT_TRUE(xfer_.Complete(unasked, oXfer::kResultNotModified, ""));
  Delivered out = Outcome();
  EXPECT_FALSE(out.success);
  EXPECT_EQ(out.error, "xfer download no update, no kept copy");
  const PacRequestId first = Start(kUrl);
  ASSERT_FALSE(first.empty());
  ASSERT_TRUE(xfer_.Complete(first, oXfer::kResultOk, pac, "\"e1\"", "Mon, 01 Jan 2024"));
  out = Outcome();
  EXPECT_EQ(out.content, pac);
  // Each step: the URL, what the module answers, what must have been sent
  // and what the caller gets.
  const struct {
    const char* url;
    int32_t code;
    const char* body;
    bool withResult;
    const char* sent_validator_1;
    bool success;
    std::string content;
    const char* error;
  } steps[] = {
      {kUrl, oXfer::kResultNotModified, "", true, "\"e1\"", true, pac, "xfer download no update"},
      {kOtherUrl, oXfer::kResultHttpError, "", true, "", false, "", "xfer download stream failure"},
      // A failure elsewhere kept the cache and its validators.
      {kUrl, oXfer::kResultNotModified, "", true, "\"e1\"", true, pac, "xfer download no update"},
      // An empty 2xx body hands back the kept body and keeps the cache.
      {kUrl, oXfer::kResultOk, "", true, "\"e1\"", true, pac, ""},
      {kUrl, oXfer::kResultOk, "x", false, "\"e1\"", false, "",
       "xfer download stream failure, no result"},
      // The kept body belongs to its URL only: "not modified" without a
      // copy of it is a failure, not an empty script.
      {kOtherUrl, oXfer::kResultNotModified, "", true, "", false, "",
       "xfer download no update, no kept copy"},
  };
  for (const auto& s : steps) {
    const PacRequestId id = Start(s.url);
    const ovtest::FakeFileXferModule::Start sent = xfer_.starts().back();
    EXPECT_EQ(sent.url, s.url);
    EXPECT_EQ(sent.validator_1, s.sent_validator_1) << s.url;
    EXPECT_EQ(sent.validator_2, *s.sent_validator_1 ? "Mon, 01 Jan 2024" : "") << s.url;
    ASSERT_TRUE(xfer_.Complete(id, s.code, s.body, "\"new\"", "", s.withResult));
    out = Outcome();
    SCOPED_TRACE(testing::Message() << s.url << " " << s.code);
    EXPECT_EQ(out.success, s.success);
    EXPECT_EQ(out.content, s.content);
    EXPECT_EQ(out.error, s.error);
  }
}

TEST_F(PacFileDownloaderTest, TransferOutlivingTheDownloaderTouchesNothing) {
  // Completed after the downloader is gone: the observer must not reach it.
  const PacRequestId running = Start(kUrl);
  // Completed before, but delivered after: the posted task must not either.
  const PacRequestId delivered = Start(kOtherUrl);
  ASSERT_TRUE(xfer_.Complete(delivered, oXfer::kResultOk, "FindProxyForURL"));
  downloader_.reset();
  ASSERT_TRUE(xfer_.Complete(running, oXfer::kResultOk, "FindProxyForURL", "\"e\""));
  env_.RunUntilIdle();
  EXPECT_TRUE(delivered_.empty());
  EXPECT_EQ(xfer_.open_transfers(), 0u);
}

}  // namespace
}  // namespace OVProxy
