#include "OrvaProxy/ov_proxy_resolve_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_task_constants.h"
#include "ovtest/fake_async_resolver.h"
#include "ovtest/fake_feature_sources.h"
#include "ovtest/fake_pac_decider.h"
#include "ovtest/fake_policy_provider.h"
#include "ovtest/fake_telemetry_module.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr oPolicyId kWinInetOnlyPolicy = 9001;
constexpr char kScript[] = "function FindProxyForURL(u, h) { return 'PROXY pac:1'; }";

class TestAdapter : public ovProxyEnterpriseAdapter {};

// Records "id +code" (with a result) or "id -code".
struct RecordingDelegate : ovProxyResolveControllerDelegate {
  void onTaskComplete(const std::string& id, const std::string&,
                      std::shared_ptr<ovProxyInfo> result, eErrorCode error) override {
    calls.push_back(id + (result ? " +" : " -") + std::to_string(error));
  }
  std::vector<std::string> calls;
};

enum class Kind { Manual, AutoDetect, PacUrl };

struct Present {
  bool winhttp = true, multi = true, pk = true;
};

std::shared_ptr<ovProxyConfig> MakeConfig(Kind kind, int64_t timestamp = 1,
                                          const std::string& manual = "",
                                          const std::string& bypass = "") {
  auto config = std::make_shared<ovProxyConfig>();
  if (kind == Kind::AutoDetect) config->setAutoDetectEnabled(true);
  if (kind == Kind::PacUrl) config->setPacUrl("http://wpad.example/proxy.pac");
  if (kind == Kind::Manual || !manual.empty()) {
    config->proxy_rules().ParseFromString(manual.empty() ? "manual:3128" : manual);
  }
  config->proxy_rules().bypass_rules.ParseFromString(bypass);
  config->setUpdateTimestamp(timestamp);
  return config;
}

std::shared_ptr<ovtest::FakeAsyncResolver> Fake(uint32_t kind) {
  return std::make_shared<ovtest::FakeAsyncResolver>(kind);
}

class ResolveControllerTest : public ::testing::Test {
 protected:
  ResolveControllerTest() {
    adapter_.RegisterFeature("WinInetOnly", kWinInetOnlyPolicy, FeatureValue::Type::Bool, false);
    SetWinInetOnly(false);
  }
  // The shared check of every test: no request is ever answered twice.
  void TearDown() override {
    controller_.reset();
    env_.RunUntilIdle();
    for (const auto& [id, answer] : answers_) EXPECT_EQ(answer.first, 1) << id;
  }

  void SetWinInetOnly(bool on) {
    policies_.Set(kWinInetOnlyPolicy, on);
    adapter_.LoadFeature("WinInetOnly");
  }
  void Build(Present present = {}) {
    ovResolveControllerParts parts;
    if (present.winhttp) parts.make_winhttp = [this] { return winhttp_; };
    if (present.multi) parts.make_multi = [this](auto) { return multi_; };
    if (present.pk) parts.make_pk = [this] { return pk_; };
    parts.make_decider = [this] { return std::make_unique<ovtest::FakePacDecider>(decision_); };
    parts.adapter = &adapter_;
    controller_.reset();  // the old one detaches from the shared fakes first
    controller_ = std::make_unique<ovProxyResolveController>(std::move(parts));
    controller_->setDelegate(&delegate_);
  }
  std::shared_ptr<ovProxyResolveTask> Task(const std::string& id,
                                           std::shared_ptr<ovProxyConfig> config,
                                           const std::string& url = "http://site.example/",
                                           int32_t timeoutMs = 0) {
    auto task = std::make_shared<ovProxyResolveTask>(
        id, url, "extra",
        [this](const std::string& requestId, const ovProxyInfo& info, eErrorCode error) {
          auto& [count, text] = answers_[requestId];
          ++count;
          text = info.ToPacString() + " / " + std::to_string(static_cast<int>(error));
        },
        std::move(config), timeoutMs);
    ids_by_key_[task->getKey()] = id;
    return task;
  }
  // Resolvers know a task by its key; these translate to the caller's id.
  std::string Key(const std::string& id) const {
    for (const auto& [key, known] : ids_by_key_) {
      if (known == id) return key;
    }
    return id;
  }
  std::vector<std::string> Ids(const std::vector<std::string>& keys) const {
    std::vector<std::string> ids;
    for (const std::string& key : keys) {
      auto found = ids_by_key_.find(key);
      ids.push_back(found == ids_by_key_.end() ? key : found->second);
    }
    return ids;
  }
  eErrorCode Add(const std::string& id, std::shared_ptr<ovProxyConfig> config,
                 const std::string& url = "http://site.example/") {
    return controller_->addTask(Task(id, std::move(config), url));
  }
  // The delivered answer as PAC text, "-" when nothing was delivered.
  std::string Delivered(const std::string& id) {
    env_.RunUntilIdle();
    auto found = answers_.find(id);
    return found == answers_.end() ? "-" : found->second.second;
  }

  ovtest::ManualClock clock_;
  ovtest::TaskEnvironment env_{kResolveRunnerName};
  ovtest::FakePolicyProvider policies_;
  ovtest::FakeFeatureToggles toggles_;
  ovtest::FakeExperimentMgr experiments_;
  TestAdapter adapter_;
  ovtest::FakeTelemetryModule telemetry_;
  std::shared_ptr<ovtest::FakeAsyncResolver> winhttp_ = Fake(0), multi_ = Fake(1), pk_ = Fake(0);
  std::shared_ptr<ovtest::FakePacDecider::Record> decision_ =
      std::make_shared<ovtest::FakePacDecider::Record>();
  RecordingDelegate delegate_;
  std::map<std::string, std::pair<int, std::string>> answers_;  // count, text
  std::map<std::string, std::string> ids_by_key_;
  std::unique_ptr<ovProxyResolveController> controller_;
};

TEST_F(ResolveControllerTest, BypassedUrlsAreAnsweredDirectOnEitherRoad) {
  Build();
  // Fast path road (automatic settings) and decided road (manual settings).
  Add("a", MakeConfig(Kind::AutoDetect, 1, "", "*.corp.example"), "http://intra.corp.example/");
  decision_->answer = e_success;
  Add("b", MakeConfig(Kind::Manual, 2, "", "*.corp.example"), "http://wiki.corp.example/");
  EXPECT_EQ(Delivered("a"), "DIRECT / 0");
  EXPECT_EQ(Delivered("b"), "DIRECT / 0");
  EXPECT_THAT(winhttp_->log().resolved, IsEmpty());
  EXPECT_THAT(delegate_.calls, ElementsAre("a +0", "b +0"));
  EXPECT_EQ(controller_->addTask(nullptr), e_invalid_argument);
}

TEST_F(ResolveControllerTest, FastPathAnswersEveryStartOutcome) {
  const struct {
    eErrorCode start;
    const char *delivered, *told;  // right after addTask
  } cases[] = {
      {e_pending, "-", ""},
      {e_success, "DIRECT / 0", " +0"},
      // Never silence: a refused start reaches the caller with its code and
      // the local resolver's answer.
      {e_resolve_failed, "DIRECT / 203", " -203"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.start));
    const std::string id = "t" + std::to_string(n++);
    delegate_.calls.clear();
    winhttp_->SetResolveAnswer(c.start);
    Build();
    EXPECT_EQ(Add(id, MakeConfig(Kind::AutoDetect)), e_pending);
    EXPECT_EQ(Delivered(id), c.delivered);
    EXPECT_EQ(delegate_.calls, *c.told ? std::vector{id + c.told} : std::vector<std::string>{});
  }
}

TEST_F(ResolveControllerTest, ManualSettingsWaitForTheDecisionAndGoToTheLocalResolver) {
  Build();
  Add("bare", nullptr);  // nothing to decide: not left waiting
  EXPECT_EQ(decision_->get_pac_content_calls, 0);
  EXPECT_EQ(Delivered("bare"), "DIRECT / 0");
  Add("m", MakeConfig(Kind::Manual));
  EXPECT_THAT(winhttp_->log().resolved, IsEmpty());
  EXPECT_EQ(Delivered("m"), "-");
  decision_->decider->Decide(false);  // a failed decision releases the tasks alike
  EXPECT_EQ(Delivered("m"), "PROXY manual:3128; DIRECT / 0");
}

TEST_F(ResolveControllerTest, SelectionRulesAfterTheDecision) {
  const struct {
    const char* name;
    Kind kind;
    bool win_inet_only, pac_content;
    Present present;
    bool pk_available;
    const char* chosen;  // "winhttp", "multi", "pk", or the delivered text
  } cases[] = {
      {"multi by switch", Kind::PacUrl, true, true, {}, true, "multi"},
      {"multi absent", Kind::PacUrl, true, true, {true, false, true}, true, " / 6"},
      {"pk with script", Kind::PacUrl, false, true, {}, true, "pk"},
      {"pk unavailable", Kind::PacUrl, false, true, {}, false, "winhttp"},
      {"pk absent", Kind::AutoDetect, false, true, {true, true, false}, true, "winhttp"},
      {"no resolver at all", Kind::AutoDetect, false, false, {false, true, true}, true, " / 6"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetWinInetOnly(c.win_inet_only);
    pk_->SetAvailable(c.pk_available);
    for (auto& half : {winhttp_, multi_, pk_}) half->log().resolved.clear();
    decision_ = std::make_shared<ovtest::FakePacDecider::Record>();
    decision_->answer = c.pac_content ? e_success : e_pac_unavailable;
    Build(c.present);
    if (c.pac_content) {
      // A script is already known, so the fast path stands aside.
      auto known = MakeConfig(c.kind);
      known->setPacContent(kScript);
      controller_->decider().setConfig(known);
    }
    const std::string id = c.name;
    Add(id, MakeConfig(c.kind));
    const std::string chosen = !winhttp_->log().resolved.empty() ? "winhttp"
                               : !multi_->log().resolved.empty() ? "multi"
                               : !pk_->log().resolved.empty()    ? "pk"
                                                                 : Delivered(id);
    EXPECT_EQ(chosen, c.chosen);
  }
}

TEST_F(ResolveControllerTest, FailedResolutionFallsBackToTheLocalResolverWithTheResolversError) {
  const struct {
    uint32_t kind;
    std::string manual;
    const char* delivered;
    eErrorCode detail;
  } cases[] = {
      // A failure code travels unchanged, so DIRECT is not appended.
      {0, "fallback:8080", "PROXY fallback:8080 / 203", e_success},
      {1, "", "DIRECT / 203", e_resolve_failed},
  };
  Build();
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    const std::string id = "f" + std::to_string(n++);
    // Each newer than the last, so that each resolves with its own.
    auto task = Task(id, MakeConfig(Kind::AutoDetect, n, c.manual));
    controller_->addTask(task);
    ASSERT_EQ(winhttp_->log().resolved.back(), task->getKey());
    controller_->onResolveComplete(task->getKey(), nullptr, e_resolve_failed, c.kind);
    EXPECT_EQ(Delivered(id), c.delivered);
    EXPECT_EQ(task->getErrorDetailCode(), c.detail);
    EXPECT_EQ(delegate_.calls.back(), id + " -203");
  }
}

TEST_F(ResolveControllerTest, LateUnknownAndRepeatedCompletionsAreIgnored) {
  Build();
  Add("r", MakeConfig(Kind::AutoDetect));
  controller_->onResolveComplete("", nullptr, e_resolve_failed, 0);
  controller_->onResolveComplete("nobody", nullptr, e_resolve_failed, 0);
  EXPECT_THAT(delegate_.calls, IsEmpty());
  winhttp_->Complete(Key("r"), e_success, "a:1");
  winhttp_->Complete(Key("r"), e_resolve_failed);  // late second answer
  EXPECT_EQ(Delivered("r"), "PROXY a:1; DIRECT / 0");
  EXPECT_EQ(delegate_.calls.size(), 1u);
}

TEST_F(ResolveControllerTest, CancellationWhileWaitingAndWhileRunning) {
  Build();
  Add("wait", MakeConfig(Kind::Manual));
  Add("run", MakeConfig(Kind::AutoDetect));
  ASSERT_EQ(controller_->pendingTaskCount(), 1u);
  ASSERT_EQ(controller_->runningTaskCount(), 1u);
  controller_->cancelTask("wait");
  controller_->cancelTask("run");
  controller_->cancelTask("never-added");
  EXPECT_EQ(controller_->pendingTaskCount(), 0u);
  EXPECT_EQ(controller_->runningTaskCount(), 0u);
  EXPECT_THAT(Ids(winhttp_->log().cancelled), ElementsAre("run"));
  // Neither the decision nor a late answer brings them back.
  decision_->decider->Decide(true, kScript);
  winhttp_->Complete(Key("run"), e_success);
  EXPECT_EQ(Delivered("wait"), "-");
  EXPECT_EQ(Delivered("run"), "-");
  EXPECT_THAT(delegate_.calls, IsEmpty());
  // A task cancelled before it reaches a resolver is not started or answered.
  auto cancelled = Task("gone", MakeConfig(Kind::Manual));
  cancelled->cancel();
  controller_->addTask(cancelled);
  EXPECT_EQ(Delivered("gone"), "-");
  EXPECT_THAT(delegate_.calls, IsEmpty());
}

TEST_F(ResolveControllerTest, NewerConfigurationMidDecisionRestartsItAndWins) {
  SetWinInetOnly(true);  // no fast path: every task waits
  Build();
  auto older = MakeConfig(Kind::PacUrl, 10);
  auto newer = MakeConfig(Kind::AutoDetect, 20);
  Add("1", older);
  ASSERT_EQ(controller_->decisionState(), DecisionState::Deciding);
  ASSERT_EQ(decision_->get_pac_content_calls, 1);
  Add("2", newer);
  ASSERT_EQ(decision_->configs_set.size(), 2u);
  EXPECT_TRUE(decision_->configs_set[1]->auto_detect());
  EXPECT_EQ(decision_->get_pac_content_calls, 2);  // started over
  // A stale task arriving meanwhile neither restarts nor changes it.
  Add("3", MakeConfig(Kind::PacUrl, 5));
  EXPECT_EQ(decision_->configs_set.size(), 2u);
  EXPECT_EQ(decision_->get_pac_content_calls, 2);
  decision_->decider->Decide(true, kScript);
  EXPECT_THAT(Ids(multi_->log().resolved), ElementsAre("1", "2", "3"));
  controller_->cancelAllTasks();
}

TEST_F(ResolveControllerTest, TimedOutTasksAreCollectedPendingFirst) {
  SetWinInetOnly(true);
  Build();
  controller_->addTask(Task("p2", MakeConfig(Kind::AutoDetect), "http://a/", 100));
  controller_->addTask(Task("p1", MakeConfig(Kind::AutoDetect), "http://a/", 100));
  controller_->addTask(Task("p3", MakeConfig(Kind::AutoDetect), "http://a/", 0));
  SetWinInetOnly(false);
  controller_->addTask(Task("r1", MakeConfig(Kind::AutoDetect), "http://a/", 100));
  ASSERT_EQ(controller_->runningTaskCount(), 1u);
  ovProxyResolveController::TimedOutTasks timed_out;
  bool remain = false;
  clock_.Advance(std::chrono::milliseconds(99));
  controller_->collectTimedOutTasks(timed_out, remain);
  EXPECT_THAT(timed_out, IsEmpty());
  EXPECT_TRUE(remain);
  clock_.Advance(std::chrono::milliseconds(1));
  controller_->collectTimedOutTasks(timed_out, remain);
  std::vector<std::string> ids;
  for (const auto& [id, task] : timed_out) ids.push_back(id);
  // Each group in the order the tasks were made.
  EXPECT_THAT(ids, ElementsAre("p2", "p1", "r1"));
  EXPECT_THAT(Ids(winhttp_->log().cancelled), ElementsAre("r1"));
  EXPECT_TRUE(remain);              // p3 never times out
  EXPECT_EQ(Delivered("p1"), "-");  // the service finishes them
}

TEST_F(ResolveControllerTest, DestroyedControllerIsNeverCalledBack) {
  Build();
  Add("r", MakeConfig(Kind::AutoDetect));
  Add("p", MakeConfig(Kind::Manual));
  controller_.reset();
  EXPECT_EQ(Delivered("p"), "-");
  EXPECT_EQ(winhttp_->getDelegate(), nullptr);
  EXPECT_THAT(Ids(winhttp_->log().cancelled), ElementsAre("r"));
  winhttp_->Complete(Key("r"), e_success);  // must not reach the destroyed controller
  EXPECT_EQ(Delivered("r"), "-");
}

}  // namespace
}  // namespace OVProxy
