// The resolve service on the test's thread, and the provider that runs it on
// a runner of its own; both over fake resolvers, decider and manager.
#include "OrvaProxy/ov_proxy_resolve_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "OrvaProxy/orva_proxy_module.h"
#include "OrvaProxy/ov_pk_resolver.h"
#include "OrvaProxy/ov_proxy_config_mode.h"
#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_proxy_host_cache_mode.h"
#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider_impl.h"
#include "OrvaProxy/ov_resolve_trace.h"
#include "OrvaProxy/ov_task_constants.h"
#include "ovtest/fake_async_resolver.h"
#include "ovtest/fake_config_manager.h"
#include "ovtest/fake_dal_bus.h"
#include "ovtest/fake_pac_decider.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

using std::chrono::milliseconds;
using ::testing::UnorderedElementsAre;
using State = ovProxyResolveServiceImpl::ServiceState;

class TestAdapter : public ovProxyEnterpriseAdapter {};

ovProxyConfig Manual(const std::string& rules = "proxy:3128", int64_t timestamp = 1) {
  ovProxyConfig config;
  config.proxy_rules().ParseFromString(rules);
  config.setUpdateTimestamp(timestamp);
  return config;
}

ovProxyConfig PacUrl() {
  ovProxyConfig config;
  config.setPacUrl("http://wpad.example/proxy.pac");
  config.setUpdateTimestamp(1);
  return config;
}

ovProxyInfo Named(const char* proxy) {
  ovProxyInfo info;
  info.UseNamedProxy(proxy);
  return info;
}

struct Answer {
  int count = 0;
  std::string pac;
  eErrorCode error = e_failed;
};

// The fakes a service is made of, with a decider that has a script at once,
// and the answers it gives. Shared check of every test: each request made
// (or accepted) is answered exactly once, whatever the test did to it.
class ServiceFakes : public ::testing::Test {
 protected:
  explicit ServiceFakes(std::string_view runner) : env_(runner) { decision_->answer = e_success; }
  void CheckEachAnsweredOnce() {
    for (const std::string& id : issued_) EXPECT_EQ(Got(id).count, 1) << id;
  }
  ResolveCallback Recorder() {
    return [this](const std::string& id, const ovProxyInfo& info, eErrorCode error) {
      std::lock_guard lock(mutex_);
      Answer& answer = answers_[id];
      answer = {answer.count + 1, info.ToPacString(), error};
      order_.push_back(id);
      answered_.notify_all();
    };
  }
  Answer Got(const std::string& id) {
    std::lock_guard lock(mutex_);
    return answers_[id];
  }
  ovResolveServiceParts Parts(ovProxyInfoMode* mode) {
    ovResolveServiceParts parts;
    parts.info_mode = mode;
    parts.controller.make_decider = [this] {
      return std::make_unique<ovtest::FakePacDecider>(decision_);
    };
    parts.controller.make_pk = [this] { return pk_; };
    parts.controller.make_winhttp = [this] { return winhttp_; };
    parts.controller.adapter = &adapter_;
    return parts;
  }

  ovtest::ManualClock clock_;
  ovtest::FakeDalBus bus_;
  ovtest::TaskEnvironment env_;
  ovProxyInfoModeImpl info_mode_;
  TestAdapter adapter_;
  ovtest::FakeConfigManager manager_;
  std::shared_ptr<ovtest::FakePacDecider::Record> decision_ =
      std::make_shared<ovtest::FakePacDecider::Record>();
  std::shared_ptr<ovtest::FakeAsyncResolver> pk_ = std::make_shared<ovtest::FakeAsyncResolver>(0),
                                             winhttp_ =
                                                 std::make_shared<ovtest::FakeAsyncResolver>(0);
  std::mutex mutex_;
  std::condition_variable answered_;
  std::vector<std::string> issued_, order_;
  std::map<std::string, Answer> answers_;
};

// Drives the service on the test thread, which serves the resolve runner.
class ResolveServiceTest : public ServiceFakes {
 protected:
  ResolveServiceTest() : ServiceFakes(kResolveRunnerName) {}
  void TearDown() override {
    if (service_) {
      service_->uninitialize();
      service_.reset();
    }
    env_.RunUntilIdle();
    CheckEachAnsweredOnce();
  }

  void Start(const ovProxyConfig& config, ovProxyConfigAvailability availability) {
    manager_.Set(config, availability);
    service_ = std::make_unique<ovProxyResolveServiceImpl>(Parts(&info_mode_));
    ASSERT_TRUE(service_->initialize(&manager_));
  }
  eErrorCode Resolve(const std::string& id, const std::string& url, int32_t timeoutMs = 0) {
    issued_.push_back(id);
    return service_->resolve(url, "", Recorder(), id, timeoutMs);
  }

  bool Expired() {
    bool more = true;
    service_->checkTimeouts(more);
    env_.RunUntilIdle();
    return more;
  }

  std::unique_ptr<ovProxyResolveServiceImpl> service_;
};

// The host cache is shared with other processes: credentials and query text
// must never become part of a key; a script's http and https answers for one
// host stay apart.
TEST(ResolveServiceHostKey, IsTheSchemeAndTheAuthorityWithoutCredentials) {
  const struct {
    const char *url, *key;
  } cases[] = {
      {"http://a.example/path", "http://a.example"},
      {"http://a.example:8080/x", "http://a.example:8080"},
      {"http://user:pw@a.example/", "http://a.example"},
      {"http://us@er:p@w@a.example:81?x", "http://a.example:81"},
      {"http://a.example?q=1", "http://a.example"},
      {"http://a.example#top", "http://a.example"},
      {"http://a.example?token=s3cret/x", "http://a.example"},
      {"http://a.example#frag/x", "http://a.example"},
      {"https://a.example", "https://a.example"},
      {"HTTPS://a.example/", "https://a.example"},
      {"a.example:443", "a.example:443"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ovProxyResolveServiceImpl::hostKey(c.url), c.key) << c.url;
}

TEST_F(ResolveServiceTest, RequestsBeforeTheConfigurationWaitAndLeaveInArrivalOrder) {
  Start(ovProxyConfig(), CONFIG_PENDING);
  EXPECT_EQ(service_->state(), State::WaitingForConfig);
  EXPECT_EQ(Resolve("b", "http://one.example/"), e_pending);
  EXPECT_EQ(Resolve("a", "http://two.example/"), e_pending);
  env_.RunUntilIdle();
  EXPECT_TRUE(order_.empty());
  manager_.Publish(Manual(), CONFIG_VALID);
  env_.RunUntilIdle();
  EXPECT_EQ(service_->state(), State::Ready);
  EXPECT_EQ(order_, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(answers_["a"].pac, "PROXY proxy:3128; DIRECT");
  EXPECT_EQ(answers_["a"].error, e_success);
}

TEST_F(ResolveServiceTest, SuccessfulAnswersFillTheCacheKeyedBySchemeAndAuthority) {
  const struct {
    const char* second;
    bool hit;
  } cases[] = {
      {"http://host.example/other?x=1", true},
      {"https://host.example/", false},
      {"http://host.example:8080/", false},
      {"http://other.example/", false},
  };
  Start(Manual(), CONFIG_VALID);
  int n = 0;
  for (const auto& c : cases) {
    info_mode_.getHostCacheMode()->clear();
    const std::string first = "first" + std::to_string(n), second = "second" + std::to_string(n++);
    Resolve(first, "http://host.example/path");
    env_.RunUntilIdle();
    ovProxyInfo filled;  // by the successful answer, under the current configuration
    ASSERT_TRUE(info_mode_.getHostCacheMode()->lookup("http://host.example", filled));
    EXPECT_EQ(filled.ToPacString(), n == 1 ? "PROXY proxy:3128" : "PROXY other:1");
    // A different answer for a miss shows the hit really came from the cache.
    manager_.Publish(Manual("other:1", n + 1), CONFIG_VALID);
    info_mode_.getHostCacheMode()->put("http://host.example", Named("cached:1"));
    const eErrorCode code = Resolve(second, c.second);
    env_.RunUntilIdle();
    EXPECT_EQ(code == e_success, c.hit) << c.second;
    EXPECT_EQ(answers_[second].pac, c.hit ? "PROXY cached:1; DIRECT" : "PROXY other:1; DIRECT")
        << c.second;
  }
}

TEST_F(ResolveServiceTest, TimeOutsAreEnforcedAtTheCheckWhereverTheTaskWaits) {
  // Waiting for the configuration.
  Start(ovProxyConfig(), CONFIG_PENDING);
  Resolve("queued", "http://q.example/", 50);
  Resolve("patient", "http://p.example/", 0);
  clock_.Advance(milliseconds(49));
  EXPECT_TRUE(Expired());
  EXPECT_EQ(answers_["queued"].count, 0);
  clock_.Advance(milliseconds(31));
  EXPECT_TRUE(Expired());  // "patient" still waits
  EXPECT_EQ(answers_["queued"].error, e_request_timeout);
  EXPECT_EQ(answers_["queued"].pac, "");
  // Stuck in a resolver that never answers; its late answer is not delivered.
  manager_.Publish(PacUrl(), CONFIG_VALID);
  env_.RunUntilIdle();
  Resolve("stuck", "http://s.example/", 300);
  env_.RunUntilIdle();
  ASSERT_EQ(pk_->log().resolved.size() + winhttp_->log().resolved.size(), 2u);
  clock_.Advance(milliseconds(1000));
  Expired();
  EXPECT_EQ(answers_["stuck"].error, e_request_timeout);
  pk_->Complete(pk_->IdFor("http://s.example/"), e_success);
  winhttp_->Complete(winhttp_->IdFor("http://s.example/"), e_success);
  env_.RunUntilIdle();
  EXPECT_EQ(answers_["stuck"].count, 1);
}

TEST_F(ResolveServiceTest, CancelledAndDroppedRequestsHearCancelledOnce) {
  Start(PacUrl(), CONFIG_VALID);
  Resolve("running", "http://r.example/");
  Resolve("cancelled", "http://c.example/");
  env_.RunUntilIdle();
  service_->cancel("cancelled");
  // Never inside the call that dropped the request: posted to the runner.
  EXPECT_EQ(Got("cancelled").count, 0);
  env_.RunUntilIdle();
  EXPECT_EQ(answers_["cancelled"].error, e_cancelled);
  service_->uninitialize();
  EXPECT_EQ(Got("running").count, 0);
  manager_.Publish(ovProxyConfig(), CONFIG_PENDING);  // no longer heard
  Resolve("late", "http://l.example/");               // queued without a manager
  env_.RunUntilIdle();
  EXPECT_EQ(answers_["running"].error, e_cancelled);
  EXPECT_EQ(manager_.observer_count(), 0u);
  service_.reset();
  env_.RunUntilIdle();
  EXPECT_EQ(answers_["late"].error, e_cancelled);
}

// Ids come from callers and may repeat: two requests in flight with one id
// are two requests, each answered once with its own URL's answer, and a
// cancellation by that id reaches both.
TEST_F(ResolveServiceTest, RequestsSharingAnIdAreTwoRequests) {
  Start(PacUrl(), CONFIG_VALID);
  std::vector<std::string> heard;
  auto caller = [&heard](const std::string& name) {
    return [&heard, name](const std::string& id, const ovProxyInfo& info, eErrorCode error) {
      heard.push_back(name + " " + id + " " + info.ToPacString() + " " + std::to_string(error));
    };
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    heard.clear();
    const std::string a = "http://a" + std::to_string(round) + ".example/";
    const std::string b = "http://b" + std::to_string(round) + ".example/";
    service_->resolve(a, "", caller("A"), "dup", 0);
    service_->resolve(b, "", caller("B"), "dup", 0);
    env_.RunUntilIdle();
    ASSERT_TRUE(heard.empty());
    // Whichever resolver each went to, it knows them under two keys.
    auto resolver_of = [this](const std::string& url) {
      return pk_->IdFor(url).empty() ? winhttp_.get() : pk_.get();
    };
    const std::string key_a = resolver_of(a)->IdFor(a), key_b = resolver_of(b)->IdFor(b);
    ASSERT_FALSE(key_a.empty());
    ASSERT_FALSE(key_b.empty());
    ASSERT_NE(key_a, key_b);
    if (round == 0) {
      resolver_of(b)->Complete(key_b, e_success, "b:2");
      resolver_of(a)->Complete(key_a, e_success, "a:1");
      env_.RunUntilIdle();
      EXPECT_THAT(heard,
                  UnorderedElementsAre("A dup PROXY a:1; DIRECT 0", "B dup PROXY b:2; DIRECT 0"));
    } else {
      service_->cancel("dup");
      env_.RunUntilIdle();
      EXPECT_THAT(heard, UnorderedElementsAre("A dup  3", "B dup  3"));
    }
  }
}

TEST_F(ResolveServiceTest, ConfigurationProblemsAnswerDirectAtOnce) {
  const struct {
    const char* name;
    bool shared;
    eErrorCode error;
    const char* pac;
  } cases[] = {
      {"unset, nothing shared", false, e_config_unavailable, ""},
      {"unset, another process shared one", true, e_success, "PROXY shared:8080; DIRECT"},
  };
  for (const auto& c : cases) {
    if (c.shared) info_mode_.getConfigMode()->updateConfig(Manual("shared:8080", 5));
    Start(ovProxyConfig(), CONFIG_UNSET);
    Resolve(c.name, "http://x.example/");
    env_.RunUntilIdle();
    EXPECT_EQ(answers_[c.name].error, c.error) << c.name;
    EXPECT_EQ(answers_[c.name].pac, c.pac) << c.name;
    info_mode_.getHostCacheMode()->clear();
  }
  Resolve("empty url", "");
  env_.RunUntilIdle();
  EXPECT_EQ(answers_["empty url"].error, e_failed);
}

TEST_F(ResolveServiceTest, NetworkChangesResetOnceAndClearTheCache) {
  Start(Manual(), CONFIG_VALID);
  const struct {
    ovNetworkState state;
    const char* name;
    bool reset;
  } steps[] = {
      {ovNetworkState::Connected, "", false},  // the stored state
      {ovNetworkState::Connected, "office", true},
      {ovNetworkState::Connected, "office", false},
      {ovNetworkState::Disconnected, "office", true},
  };
  int resets = 0;
  for (const auto& step : steps) {
    info_mode_.getHostCacheMode()->put("h.example", ovProxyInfo());
    service_->OnNetworkStateChanged(step.state, step.name);
    resets += step.reset;
    ovProxyInfo info;
    EXPECT_EQ(info_mode_.getHostCacheMode()->lookup("h.example", info), !step.reset) << step.name;
    EXPECT_EQ(manager_.network_changes(), resets);
    EXPECT_EQ(decision_->failure_resets, resets);
    EXPECT_EQ(decision_->network_restarts, resets);
  }
  service_->OnNetSettingChange(0);
  EXPECT_EQ(manager_.network_changes(), resets + 1);
  EXPECT_EQ(decision_->network_restarts, resets + 1);
}

// Answers computed with a script that changed leave the cache, and one
// still being computed at the change stays out of it when it arrives.
TEST_F(ResolveServiceTest, AnswersOfAChangedScriptLeaveTheCacheAndStayOut) {
  Start(PacUrl(), CONFIG_VALID);
  const auto complete = [this](const char* host, const char* proxy) {
    const std::string url = std::string("http://") + host + ".example/";
    pk_->Complete(pk_->IdFor(url), e_success, proxy);
    winhttp_->Complete(winhttp_->IdFor(url), e_success, proxy);
    env_.RunUntilIdle();
  };
  const auto cached = [this](const char* host) {
    ovProxyInfo info;
    return info_mode_.getHostCacheMode()->lookup(std::string("http://") + host, info);
  };
  Resolve("done", "http://done.example/");
  Resolve("running", "http://running.example/");
  env_.RunUntilIdle();
  complete("done", "old:1");
  ASSERT_TRUE(cached("done.example"));
  ASSERT_NE(decision_->decider, nullptr);
  decision_->decider->ChangeScript();
  EXPECT_FALSE(cached("done.example"));
  complete("running", "old:1");
  EXPECT_EQ(Got("running").pac, "PROXY old:1; DIRECT");  // answered, not cached
  EXPECT_FALSE(cached("running.example"));
  Resolve("fresh", "http://fresh.example/");
  env_.RunUntilIdle();
  complete("fresh", "new:1");
  EXPECT_TRUE(cached("fresh.example"));
}

TEST_F(ResolveServiceTest, CacheSurvivesAStartOnlyUnderTheSharedConfiguration) {
  const struct {
    const char* name;
    bool shared;  // the store holds a configuration
    const char* shared_rules;
    bool kept;
  } cases[] = {
      {"nothing shared", false, "", true},
      {"same configuration shared", true, "proxy:3128", true},
      {"another configuration shared", true, "old:1", false},
  };
  for (const auto& c : cases) {
    ovProxyInfoModeImpl mode;
    if (c.shared) mode.getConfigMode()->updateConfig(Manual(c.shared_rules, 2));
    mode.getHostCacheMode()->put("other-process.example", ovProxyInfo());
    ovtest::FakeConfigManager manager;
    manager.Set(ovProxyConfig(), CONFIG_PENDING);
    ovProxyResolveServiceImpl service(Parts(&mode));
    ASSERT_TRUE(service.initialize(&manager));
    ovProxyInfo info;
    manager.Publish(Manual(), CONFIG_VALID);
    EXPECT_EQ(mode.getHostCacheMode()->lookup("other-process.example", info), c.kept) << c.name;
    // Any later change makes every cached answer stale.
    mode.getHostCacheMode()->put("other-process.example", ovProxyInfo());
    manager.Publish(Manual("new:1", 3), CONFIG_VALID);
    EXPECT_FALSE(mode.getHostCacheMode()->lookup("other-process.example", info)) << c.name;
    service.uninitialize();
  }
}

// What the service hands its trace observer.
class RoadRecorder : public ovResolveTraceObserver {
 public:
  void onResolveTraced(const ovResolveTrace& trace) override { roads[trace.request_id] = trace; }
  void onResolveChange(const ovResolveChange& change) override { causes.push_back(change.cause); }
  // The kinds of a request's steps, in order.
  std::string Steps(const std::string& id) {
    std::string kinds;
    for (const ovTraceStep& step : roads[id].steps) {
      kinds += (kinds.empty() ? "" : " ") + std::string(ovTraceStepKindName(step.kind));
    }
    return kinds;
  }
  std::string Field(const std::string& id, ovTraceStepKind kind, const char* name) {
    const ovTraceStep* step = roads[id].find(kind);
    return step ? step->get(name) : "(no step)";
  }

  std::map<std::string, ovResolveTrace> roads;
  std::vector<ovChangeCause> causes;
};

struct RoadRow {
  const char* id;
  const char* steps;
  ovTraceStepKind kind;  // one value of the road to check
  const char* name;
  const char* value;
};

void CheckRoads(RoadRecorder& recorder, const std::vector<RoadRow>& rows) {
  for (const RoadRow& row : rows) {
    EXPECT_EQ(recorder.Steps(row.id), row.steps) << row.id;
    EXPECT_EQ(recorder.Field(row.id, row.kind, row.name), row.value) << row.id << " " << row.name;
  }
}

TEST_F(ResolveServiceTest, ManualRoadsAndChangesAreRecordedWhereDecided) {
  ovProxyConfig config = Manual();
  config.proxy_rules().bypass_rules.ParseFromString("*.corp;<local>");
  Start(config, CONFIG_PENDING);
  auto recorder = std::make_shared<RoadRecorder>();
  service_->setTraceObserver(recorder);
  Resolve("waited", "http://w.example/");
  manager_.Publish(config, CONFIG_VALID);
  Resolve("bypass", "http://a.corp/x");
  Resolve("local", "http://intranet/");
  Resolve("manual", "http://user:pw@m.example:81/secret?q=1");
  env_.RunUntilIdle();
  Resolve("cached", "http://m.example:81/other");
  env_.RunUntilIdle();
  CheckRoads(*recorder,
             {
                 {"waited", "config resolver answer", ovTraceStepKind::Config, "waited", "yes"},
                 {"bypass", "config bypass answer", ovTraceStepKind::Bypass, "rule", "*.corp"},
                 {"local", "config bypass answer", ovTraceStepKind::Bypass, "rule", "<local>"},
                 {"manual", "config resolver answer", ovTraceStepKind::Answer, "answer",
                  "PROXY proxy:3128; DIRECT"},
                 {"cached", "host-cache answer", ovTraceStepKind::Answer, "code", "0"},
             });
  EXPECT_EQ(recorder->Field("manual", ovTraceStepKind::Config, "waited"), "no");
  EXPECT_EQ(recorder->roads["manual"].url, "http://m.example:81") << "no credentials, no path";

  // The changes the service acts on, each with its cause.
  manager_.Publish(Manual("other:1", 2), CONFIG_VALID);
  service_->OnNetSettingChange(0);
  decision_->decider->ChangeScript();
  env_.RunUntilIdle();
  EXPECT_EQ(recorder->causes,
            (std::vector<ovChangeCause>{ovChangeCause::Settings, ovChangeCause::Network,
                                        ovChangeCause::PacScript}));
}

TEST_F(ResolveServiceTest, PacRoadsNameTheScriptTheAnsweringHalfAndTheFallback) {
  ovtest::FakeAsyncResolver* system = nullptr;
  ovtest::FakeAsyncResolver* in_process = nullptr;
  ovResolveServiceParts parts = Parts(&info_mode_);
  parts.controller.make_pk = [&] {
    return std::make_shared<ovPKResolver>(
        [&] {
          auto half = std::make_unique<ovtest::FakeAsyncResolver>(0);
          system = half.get();
          return half;
        },
        [&](std::shared_ptr<ovProxyResolverFactory>) {
          auto half = std::make_unique<ovtest::FakeAsyncResolver>(1);
          in_process = half.get();
          return half;
        });
  };
  decision_->facts = {"http://wpad.example", "dhcp", "fresh", 5};
  decision_->answer = e_pending;  // the script comes after the first requests
  ovProxyConfig pac = PacUrl();
  pac.proxy_rules().bypass_rules.ParseFromString("*.corp");
  manager_.Set(pac, CONFIG_VALID);
  service_ = std::make_unique<ovProxyResolveServiceImpl>(std::move(parts));
  auto recorder = std::make_shared<RoadRecorder>();
  service_->setTraceObserver(recorder);
  ASSERT_TRUE(service_->initialize(&manager_));

  // Before any script the system-shaped resolver answers (after the bypass
  // rules); its failure is answered by the local resolver.
  Resolve("fast bypass", "http://a.corp/");
  Resolve("fallback", "http://one.example/");
  env_.RunUntilIdle();
  winhttp_->Complete(winhttp_->IdFor("http://one.example/"), e_pac_download_failed);
  decision_->decider->Decide(true, "function FindProxyForURL(u, h) { return 'DIRECT'; }");
  // With the script, the PK resolver: the system half fails, the in-process
  // half is waited for and answers.
  // An in-process answer made without DNS waits for the system half.
  Resolve("pk", "http://two.example/");
  Resolve("late", "http://three.example/", 300);
  Resolve("blind", "http://four.example/");
  env_.RunUntilIdle();
  ASSERT_NE(system, nullptr);
  const std::string key = system->IdFor("http://two.example/");
  system->Complete(key, e_resolve_failed);
  in_process->Complete(key, e_success, "pac:1");
  const std::string blind = system->IdFor("http://four.example/");
  in_process->Complete(blind, e_success, "guess:1", true);
  system->Complete(blind, e_success, "looked:1");
  clock_.Advance(milliseconds(1000));
  Expired();
  CheckRoads(
      *recorder,
      {
          {"fast bypass", "config bypass answer", ovTraceStepKind::Bypass, "rule", "*.corp"},
          {"fallback", "config resolver pac failed fallback answer", ovTraceStepKind::Answer,
           "code", std::to_string(e_pac_download_failed).c_str()},
          {"pk", "config resolver pac pk-half answer", ovTraceStepKind::PkHalf, "waited", "yes"},
          {"late", "config resolver pac timeout answer", ovTraceStepKind::Answer, "code", "206"},
          {"blind", "config resolver pac pk-half answer", ovTraceStepKind::PkHalf, "other",
           "answered without DNS"},
      });
  EXPECT_EQ(recorder->Field("blind", ovTraceStepKind::Answer, "answer"), "PROXY looked:1; DIRECT");
  EXPECT_EQ(recorder->Field("pk", ovTraceStepKind::PkHalf, "answered"), "in-process");
  EXPECT_EQ(recorder->Field("pk", ovTraceStepKind::Pac, "origin"), "dhcp");
  EXPECT_EQ(recorder->Field("pk", ovTraceStepKind::Resolver, "name"), "PKResolver");
  EXPECT_EQ(recorder->Field("pk", ovTraceStepKind::Answer, "answer"), "PROXY pac:1; DIRECT");
}

class RecordingDelegate : public ovProxyServiceDelegate {
 public:
  void setNetStateObserver(ovNetStateObserver* observer) override { observer_ = observer; }
  ovNetStateObserver* observer_ = nullptr;
};

// The provider on its own runner thread over a service with fake parts.
// Shared check: every accepted request is answered exactly once.
class ResolveProviderTest : public ServiceFakes {
 protected:
  ResolveProviderTest() : ServiceFakes(OrvaTask::kMainRunnerName) { provider_ = NewProvider(); }
  std::unique_ptr<ovProxyResolveServiceProvider> NewProvider() {
    return std::make_unique<ovProxyResolveServiceProvider>(
        std::make_shared<ovProxyResolveServiceProvider::Impl>(
            [this] {
              ovResolveServiceParts parts = Parts(&info_mode_);
              parts.controller.make_winhttp = nullptr;
              return std::make_unique<ovProxyResolveServiceImpl>(std::move(parts));
            },
            &info_mode_));
  }

  void TearDown() override {
    provider_->uninitialize();
    WaitUntilRunnerGone();
    CheckEachAnsweredOnce();
  }
  // The answers uninitialize caused run on the runner, which goes after them.
  void WaitUntilRunnerGone() {
    for (int round = 0; round < 1000 && env_.Flush(kResolveRunnerName); ++round) {
    }
  }
  void Start(const ovProxyConfig& config) {
    manager_.Set(config, CONFIG_VALID);
    ASSERT_TRUE(provider_->initializeWithManager(&delegate_, &manager_));
  }
  // Resolves asynchronously; answers are recorded under the request id.
  bool Resolve(std::string& id, const std::string& url, int timeoutMs = 0) {
    const bool accepted = provider_->resolveProxy(url, "", Recorder(), id, timeoutMs);
    if (accepted) issued_.push_back(id);
    return accepted;
  }
  // Bounded, so that a lost answer fails the test instead of hanging it.
  void WaitFor(const std::string& id) {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(
        answered_.wait_for(lock, std::chrono::seconds(30), [&] { return answers_[id].count > 0; }))
        << "no answer for " << id;
  }
  void FlushRunner() { ASSERT_TRUE(env_.Flush(kResolveRunnerName)); }

  RecordingDelegate delegate_;
  std::unique_ptr<ovProxyResolveServiceProvider> provider_;
};

TEST_F(ResolveProviderTest, LifecycleAndGeneratedIds) {
  std::string id = "early";
  EXPECT_FALSE(Resolve(id, "http://a.example/"));
  ovProxyInfo info;
  EXPECT_EQ(provider_->resolveProxySync("http://a.example/", "", info, 100), e_not_initialized);
  Start(Manual());
  EXPECT_FALSE(provider_->initialize(&delegate_));  // twice: refused
  std::string first, second;
  ASSERT_TRUE(Resolve(first, "host.example:8443"));
  ASSERT_TRUE(Resolve(second, "http://b.example/"));
  EXPECT_FALSE(first.empty());
  EXPECT_NE(first, second);
  WaitFor(first);
  WaitFor(second);
  EXPECT_EQ(Got(first).pac, "PROXY proxy:3128; DIRECT");
  // The scheme-less text was resolved as https://host.example:8443.
  EXPECT_TRUE(info_mode_.getHostCacheMode()->lookup("https://host.example:8443", info));
  EXPECT_TRUE(provider_->uninitialize());
  id = "after";
  EXPECT_FALSE(Resolve(id, "http://a.example/"));
  Start(Manual());  // and again
}

// The resolve runner is the process's: a provider made after another one
// went does not lose its runner to the old one's tear-down.
TEST_F(ResolveProviderTest, AProviderMadeAfterAnotherWentKeepsItsRunner) {
  for (int round = 0; round < 20; ++round) {
    Start(Manual());
    std::string id;
    ASSERT_TRUE(Resolve(id, "http://a.example/"));
    ASSERT_TRUE(provider_->uninitialize());
    provider_ = NewProvider();
  }
  Start(Manual());
  std::string id;
  ASSERT_TRUE(Resolve(id, "http://b.example/")) << "the new provider's runner was removed";
  WaitFor(id);
}

TEST_F(ResolveProviderTest, SynchronousAnswersAndTimeOuts) {
  Start(PacUrl());
  ovProxyInfo info;
  info_mode_.getHostCacheMode()->put("http://cached.example", Named("c:1"));
  EXPECT_EQ(provider_->resolveProxySync("http://cached.example/x", "", info, 5000), e_success);
  EXPECT_EQ(info.ToPacString(), "PROXY c:1; DIRECT");
  // A resolver that never answers: no wait at all with 0; with 300 ms the
  // caller gives up when the clock says so, and the request is cancelled.
  EXPECT_EQ(provider_->resolveProxySync("http://stuck.example/", "", info, 0), e_request_timeout);
  std::atomic<bool> returned{false};
  std::thread mover([&] {
    while (!returned) {
      clock_.Advance(milliseconds(50));
      std::this_thread::yield();
    }
  });
  EXPECT_EQ(provider_->resolveProxySync("http://stuck.example/", "", info, 300), e_request_timeout);
  returned = true;
  mover.join();
  FlushRunner();
  EXPECT_EQ(pk_->log().cancelled.size(), 2u);
}

TEST_F(ResolveProviderTest, TimeOutsCancelAndUninitializeAnswerWaitingRequests) {
  Start(PacUrl());
  std::string stuck = "stuck", cancelled = "c", dropped = "d";
  ASSERT_TRUE(Resolve(stuck, "http://s.example/", 300));
  ASSERT_TRUE(Resolve(cancelled, "http://c.example/"));
  ASSERT_TRUE(Resolve(dropped, "http://d.example/"));
  FlushRunner();
  clock_.Advance(milliseconds(999));  // the time-out check runs every second
  FlushRunner();
  EXPECT_EQ(Got("stuck").count, 0);
  clock_.Advance(milliseconds(1));
  WaitFor(stuck);
  EXPECT_EQ(Got("stuck").error, e_request_timeout);
  provider_->cancelResolve(cancelled);
  WaitFor(cancelled);
  EXPECT_EQ(Got("c").error, e_cancelled);
  provider_->uninitialize();
  WaitFor(dropped);
  WaitUntilRunnerGone();
  EXPECT_EQ(Got("d").count, 1);
  EXPECT_EQ(Got("d").error, e_cancelled);
}

// A client that holds its own lock around uninitialize, and takes it in
// its callback, must not deadlock: the dropped request is answered on the
// runner after uninitialize returned, never inside it on the caller's thread.
TEST_F(ResolveProviderTest, DroppedRequestsAreAnsweredOnTheRunnerAfterUninitialize) {
  Start(PacUrl());
  std::mutex client_lock;
  std::atomic<bool> answered_here{false};
  const std::thread::id test_thread = std::this_thread::get_id();
  ResolveCallback record = Recorder();
  std::string id = "held";
  ASSERT_TRUE(provider_->resolveProxy(
      "http://held.example/", "",
      [&, record](const std::string& answered, const ovProxyInfo& info, eErrorCode error) {
        if (std::this_thread::get_id() == test_thread) {
          answered_here = true;  // taking the lock here would never return
        } else {
          std::lock_guard lock(client_lock);
        }
        record(answered, info, error);
      },
      id, 0));
  issued_.push_back(id);
  FlushRunner();
  {
    std::lock_guard lock(client_lock);
    EXPECT_TRUE(provider_->uninitialize());
  }
  WaitFor(id);
  EXPECT_EQ(Got(id).error, e_cancelled);
  EXPECT_FALSE(answered_here);
}

// From a callback on the runner: uninitialize works (it finishes once the
// callback returned; here the answer comes from the cache, inside the
// service's own call), initialize is refused, and a later initialize from
// another thread works.
TEST_F(ResolveProviderTest, UninitializeAndInitializeFromACallback) {
  Start(PacUrl());
  info_mode_.getHostCacheMode()->put("http://cached.example", Named("c:1"));
  std::atomic<int> uninitialized{-1}, initialized{-1};
  ResolveCallback record = Recorder();
  std::string waiting = "waiting", trigger = "trigger";
  ASSERT_TRUE(provider_->resolveProxy(
      "http://w.example/", "",
      [&, record](const std::string& id, const ovProxyInfo& info, eErrorCode error) {
        initialized = provider_->initialize(&delegate_) ? 1 : 0;
        record(id, info, error);
      },
      waiting, 0));
  issued_.push_back(waiting);
  ASSERT_TRUE(provider_->resolveProxy(
      "http://cached.example/", "",
      [&, record](const std::string& id, const ovProxyInfo& info, eErrorCode error) {
        uninitialized = provider_->uninitialize() ? 1 : 0;
        record(id, info, error);
      },
      trigger, 0));
  issued_.push_back(trigger);
  WaitFor(trigger);
  WaitFor(waiting);
  EXPECT_EQ(uninitialized, 1);
  EXPECT_EQ(Got(trigger).pac, "PROXY c:1; DIRECT");
  EXPECT_EQ(Got(waiting).error, e_cancelled);
  EXPECT_EQ(initialized, 0);

  Start(Manual());
  std::string after;
  ASSERT_TRUE(Resolve(after, "http://after.example/"));
  WaitFor(after);
  EXPECT_EQ(Got(after).pac, "PROXY proxy:3128; DIRECT");
}

TEST_F(ResolveProviderTest, DelegateGetsTheObserverAndNetworkChangesReachTheService) {
  Start(Manual());
  EXPECT_EQ(delegate_.observer_, nullptr);  // stored, not attached
  provider_->setDelegate(&delegate_);
  ASSERT_NE(delegate_.observer_, nullptr);
  delegate_.observer_->OnNetworkStateChanged(ovNetworkState::Connected, "home");
  delegate_.observer_->OnNetworkStateChanged(ovNetworkState::Connected, "home");
  delegate_.observer_->OnNetSettingChange(1);
  FlushRunner();
  EXPECT_EQ(manager_.network_changes(), 2);
  EXPECT_EQ(decision_->failure_resets, 2);
  RecordingDelegate other;
  provider_->setDelegate(&other);
  EXPECT_EQ(delegate_.observer_, nullptr);
  provider_->uninitialize();
  EXPECT_EQ(other.observer_, nullptr);
  EXPECT_EQ(provider_->getDelegate(), nullptr);
}

TEST(OrvaProxyModule, ServiceLookup) {
  EXPECT_EQ(TermModule(nullptr), -1);
  Tav::ITavMessageQueueClient* client = InitModule();
  ASSERT_NE(client, nullptr);
  const struct {
    const char* name;
    void* expected;
  } cases[] = {
      {"IOrvaProxyService", ovProxyResolveServiceProvider::get_instance()},
      {"IOrvaProxyEnterpriseAdapter", ovProxyEnterpriseAdapter::GetInstance()},
      {"iorvaproxyservice", nullptr},
      {"IOrvaProxyService ", nullptr},
      {nullptr, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(client->QueryInterface(c.name), c.expected) << (c.name ? c.name : "null");
  }
  EXPECT_EQ(TermModule(client), 0);
}

// TermModule stops what the lookups started: when the last client goes, the
// provider is uninitialised and its runner is gone before TermModule returns.
TEST(OrvaProxyModule, TermModuleStopsTheProviderBeforeReturning) {
  ovtest::ManualClock clock;
  ovtest::FakeDalBus bus;
  ovtest::TaskEnvironment env;
  ovtest::FakeConfigManager manager;
  manager.Set(Manual(), CONFIG_VALID);
  Tav::ITavMessageQueueClient* client = InitModule();
  auto* provider =
      static_cast<ovProxyResolveServiceProvider*>(client->QueryInterface(kProxyServiceName));
  ASSERT_NE(provider, nullptr);
  ASSERT_TRUE(provider->initializeWithManager(nullptr, &manager));
  ovProxyInfo info;
  EXPECT_EQ(provider->resolveProxySync("http://a.example/", "", info, 5000), e_success);
  Tav::ITavMessageQueueClient* other = InitModule();
  EXPECT_EQ(TermModule(other), 0);  // a client is left: nothing stops
  EXPECT_NE(env.manager().GetRunnerId(kResolveRunnerName), OrvaTask::kInvalidRunnerId);
  EXPECT_EQ(TermModule(client), 0);
  EXPECT_EQ(env.manager().GetRunnerId(kResolveRunnerName), OrvaTask::kInvalidRunnerId);
  std::string id;
  EXPECT_FALSE(provider->resolveProxy(
      "http://a.example/", "", [](const std::string&, const ovProxyInfo&, eErrorCode) {}, id, 0));
}

}  // namespace
}  // namespace OVProxy
