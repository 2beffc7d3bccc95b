#include "OrvaProxy/ov_proxy_resolve_service_provider.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include "OrvaProxy/orva_proxy_module.h"
#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_proxy_host_cache_mode.h"
#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider_impl.h"
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

class TestAdapter : public ovProxyEnterpriseAdapter {};

class RecordingDelegate : public ovProxyServiceDelegate {
 public:
  void setNetStateObserver(ovNetStateObserver* observer) override { observer_ = observer; }
  ovNetStateObserver* observer_ = nullptr;
};

// The provider on its own runner thread over a service with fake parts.
// Shared check: every accepted request is answered exactly once.
class ResolveProviderTest : public ::testing::Test {
 protected:
  ResolveProviderTest() {
    decision_->answer = e_success;
    pk_ = std::make_shared<ovtest::FakeAsyncResolver>(0, pk_log_);
    auto impl = std::make_shared<ovProxyResolveServiceProvider::Impl>(
        [this] {
          ovResolveServiceParts parts;
          parts.info_mode = &info_mode_;
          parts.controller.make_decider = [this] {
            return std::make_unique<ovtest::FakePacDecider>(decision_);
          };
          parts.controller.make_pk = [this] { return pk_; };
          parts.controller.adapter = &adapter_;
          return std::make_unique<ovProxyResolveServiceImpl>(std::move(parts));
        },
        &info_mode_);
    provider_ = std::make_unique<ovProxyResolveServiceProvider>(impl);
  }

  void TearDown() override {
    provider_->uninitialize();
    std::lock_guard lock(mutex_);
    for (const auto& [id, count] : accepted_) EXPECT_EQ(counts_[id], 1) << id;
  }

  void Start(const ovProxyConfig& config) {
    manager_.Set(config, CONFIG_VALID);
    ASSERT_TRUE(provider_->initializeWithManager(&delegate_, &manager_));
  }

  // Resolves asynchronously; answers are recorded under the request id.
  bool Resolve(std::string& id, const std::string& url, int timeoutMs = 0) {
    const bool accepted = provider_->resolveProxy(
        url, "",
        [this](const std::string& requestId, const ovProxyInfo& info, eErrorCode error) {
          {
            std::lock_guard lock(mutex_);
            ++counts_[requestId];
            errors_[requestId] = error;
            pacs_[requestId] = info.ToPacString();
          }
          answered_.notify_all();
        },
        id, timeoutMs);
    if (accepted) {
      std::lock_guard lock(mutex_);
      accepted_[id] = 1;
    }
    return accepted;
  }
  void WaitFor(const std::string& id) {
    std::unique_lock lock(mutex_);
    answered_.wait(lock, [&] { return counts_[id] > 0; });
  }
  void FlushRunner() { ASSERT_TRUE(env_.Flush(kResolveRunnerName)); }

  ovtest::ManualClock clock_;
  ovtest::FakeDalBus bus_;
  ovtest::TaskEnvironment env_;
  ovProxyInfoModeImpl info_mode_;
  TestAdapter adapter_;
  ovtest::FakeConfigManager manager_;
  RecordingDelegate delegate_;
  std::shared_ptr<ovtest::FakePacDecider::Record> decision_ =
      std::make_shared<ovtest::FakePacDecider::Record>();
  std::shared_ptr<ovtest::FakeAsyncResolver::Log> pk_log_ =
      std::make_shared<ovtest::FakeAsyncResolver::Log>();
  std::shared_ptr<ovtest::FakeAsyncResolver> pk_;
  std::unique_ptr<ovProxyResolveServiceProvider> provider_;

  std::mutex mutex_;
  std::condition_variable answered_;
  std::map<std::string, int> accepted_;
  std::map<std::string, int> counts_;
  std::map<std::string, eErrorCode> errors_;
  std::map<std::string, std::string> pacs_;
};

ovProxyConfig Manual() {
  ovProxyConfig config;
  config.proxy_rules().ParseFromString("proxy:3128");
  return config;
}

ovProxyConfig PacUrl() {
  ovProxyConfig config;
  config.setPacUrl("http://wpad.example/proxy.pac");
  return config;
}

TEST_F(ResolveProviderTest, LifecycleAndCallsOutsideIt) {
  std::string id = "early";
  EXPECT_FALSE(Resolve(id, "http://a.example/"));
  ovProxyInfo info;
  EXPECT_EQ(provider_->resolveProxySync("http://a.example/", "", info, 100), e_not_initialized);
  Start(Manual());
  EXPECT_FALSE(provider_->initialize(&delegate_));  // twice: refused
  EXPECT_TRUE(provider_->uninitialize());
  id = "after";
  EXPECT_FALSE(Resolve(id, "http://a.example/"));
  Start(Manual());  // and again
}

TEST_F(ResolveProviderTest, GeneratedIdsAreWrittenBackAndAnswered) {
  Start(Manual());
  std::string first, second;
  ASSERT_TRUE(Resolve(first, "host.example:8443"));
  ASSERT_TRUE(Resolve(second, "http://b.example/"));
  EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
      << first;
  EXPECT_NE(first, second);
  WaitFor(first);
  WaitFor(second);
  EXPECT_EQ(pacs_[first], "PROXY proxy:3128; DIRECT");
  // The scheme-less text was resolved as https://host.example:8443.
  ovProxyInfo cached;
  EXPECT_TRUE(info_mode_.getHostCacheMode()->lookup("host.example:8443", cached));
}

TEST_F(ResolveProviderTest, SynchronousAnswersAndTimeOuts) {
  Start(PacUrl());
  ovProxyInfo info;
  info_mode_.getHostCacheMode()->put("cached.example", [] {
    ovProxyInfo cached;
    cached.UseNamedProxy("c:1");
    return cached;
  }());
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
  EXPECT_EQ(pk_log_->cancelled.size(), 2u);
}

TEST_F(ResolveProviderTest, TimeOutCheckRunsEverySecondWhileRequestsWait) {
  Start(PacUrl());
  std::string stuck = "stuck", patient = "patient";
  ASSERT_TRUE(Resolve(stuck, "http://s.example/", 300));
  ASSERT_TRUE(Resolve(patient, "http://p.example/"));
  FlushRunner();
  clock_.Advance(milliseconds(999));
  FlushRunner();
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(counts_["stuck"], 0);
  }
  clock_.Advance(milliseconds(1));
  WaitFor(stuck);
  EXPECT_EQ(errors_["stuck"], e_request_timeout);
  // "patient" has no time-out: uninitialize answers it (TearDown's check).
}

TEST_F(ResolveProviderTest, CancelAndUninitializeAnswerWaitingRequests) {
  Start(PacUrl());
  std::string cancelled = "c", dropped = "d";
  ASSERT_TRUE(Resolve(cancelled, "http://c.example/"));
  ASSERT_TRUE(Resolve(dropped, "http://d.example/"));
  provider_->cancelResolve(cancelled);
  WaitFor(cancelled);
  EXPECT_EQ(errors_["c"], e_cancelled);
  provider_->uninitialize();
  std::lock_guard lock(mutex_);
  EXPECT_EQ(counts_["d"], 1);
  EXPECT_EQ(errors_["d"], e_cancelled);
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
  EXPECT_STREQ(client->GetModuleId(), "com.Kelbrin.module.OrvaProxy");
  const struct {
    const char* name;
    void* expected;
  } cases[] = {
      {"IOrvaProxyService", ovProxyResolveServiceProvider::get_instance()},
      {"IOrvaProxyEnterpriseAdapter", ovProxyEnterpriseAdapter::GetInstance()},
      {"iorvaproxyservice", nullptr},
      {"IOrvaProxyService ", nullptr},
      {"", nullptr},
      {nullptr, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(client->QueryInterface(c.name), c.expected) << (c.name ? c.name : "null");
  }
  EXPECT_EQ(TermModule(client), 0);
}

}  // namespace
}  // namespace OVProxy
