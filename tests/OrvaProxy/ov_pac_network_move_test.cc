// A laptop moving from the office to home, end to end: the module's provider
// on its own runner, the real PAC decider and downloader fetching from a
// server on 127.0.0.1 through the transfer module, the in-process PAC
// evaluation, and network changes told through the observer the provider
// hands to its delegate. Only detection (which script the network
// announces) and the system-shaped half of the racing resolver are fakes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "OrvaProxy/ov_multi_proxy_resolver_factory.h"
#include "OrvaProxy/ov_pac_file_decider_host.h"
#include "OrvaProxy/ov_pk_resolver.h"
#include "OrvaProxy/ov_proxy_enterprise_adapter.h"
#include "OrvaProxy/ov_proxy_host_cache_mode.h"
#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "OrvaProxy/ov_proxy_resolve_service.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider.h"
#include "OrvaProxy/ov_proxy_resolve_service_provider_impl.h"
#include "onetxfer/onet_module.h"
#include "ovtest/fake_async_resolver.h"
#include "ovtest/fake_auto_proxy_detector.h"
#include "ovtest/fake_config_manager.h"
#include "ovtest/fake_dal_bus.h"
#include "ovtest/fake_feature_sources.h"
#include "ovtest/local_pac_server.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

using ovplatform::PROXY_AUTO_DETECT_TYPE_DHCP;

class TestAdapter : public ovProxyEnterpriseAdapter {};

class ObserverHolder : public ovProxyServiceDelegate {
 public:
  void setNetStateObserver(ovNetStateObserver* observer) override { observer_ = observer; }
  ovNetStateObserver* observer_ = nullptr;
};

std::string Script(const std::string& answer) {
  return "function FindProxyForURL(url, host) { return \"" + answer + "\"; }\n";
}

class PacNetworkMoveTest : public ::testing::Test {
 protected:
  PacNetworkMoveTest() {
    experiments_.Enable("UseFileXfer");
    auto impl = std::make_shared<ovProxyResolveServiceProvider::Impl>(
        [this] {
          ovResolveServiceParts parts;
          parts.info_mode = &info_mode_;
          parts.controller.adapter = &adapter_;
          parts.controller.make_decider = [this] {
            return std::make_unique<ovPacFileDeciderHost>(nullptr, detector_, &adapter_);
          };
          // The in-process half evaluates the script; the system-shaped half
          // (which would look for "wpad" in DNS) never answers.
          parts.controller.make_pk = [] {
            return std::make_shared<ovPKResolver>(
                [] { return std::make_unique<ovtest::FakeAsyncResolver>(0); },
                [](std::shared_ptr<ovProxyResolverFactory> factory) {
                  return std::unique_ptr<ovProxyAsyncResolver>(
                      ovMultiProxyResolverFactory(std::move(factory)).createAsyncResolver());
                });
          };
          return std::make_unique<ovProxyResolveServiceImpl>(std::move(parts));
        },
        &info_mode_);
    provider_ = std::make_unique<ovProxyResolveServiceProvider>(impl);
  }
  ~PacNetworkMoveTest() override { provider_->uninitialize(); }

  // The answer for `url`, in PAC form; waits boundedly so that a lost
  // answer fails the test instead of hanging it.
  std::string Resolve(const std::string& url) {
    std::string id;
    const bool accepted = provider_->resolveProxy(
        url, "",
        [this](const std::string& requestId, const ovProxyInfo& info, eErrorCode error) {
          std::lock_guard lock(mutex_);
          answers_[requestId] = info.ToPacString() + (error == e_success ? "" : " (failed)");
          answered_.notify_all();
        },
        id, 0);
    if (!accepted) return "refused";
    std::unique_lock lock(mutex_);
    if (!answered_.wait_for(lock, std::chrono::seconds(30), [&] { return answers_.count(id); })) {
      return "no answer";
    }
    return answers_[id];
  }
  void MoveTo(const std::string& network, const std::string& announced) {
    detector_->SetAnswer(PROXY_AUTO_DETECT_TYPE_DHCP, announced);
    delegate_.observer_->OnNetworkStateChanged(ovNetworkState::Connected, network);
  }
  bool Cached(const std::string& host) {
    ovProxyInfo info;
    return info_mode_.getHostCacheMode()->lookup(host, info);
  }

  ovtest::ManualClock clock_;
  ovtest::FakeDalBus bus_;
  ovtest::TaskEnvironment env_;
  ovtest::FakeExperimentMgr experiments_;
  // The server outlives the transfer module, whose kept-alive connections
  // would otherwise hold the server's stop for its read time-out.
  ovtest::LocalPacServer server_;
  oXfer::ScopedONetModule xfer_;
  ovProxyInfoModeImpl info_mode_;
  TestAdapter adapter_;
  ovtest::FakeConfigManager manager_;
  std::shared_ptr<ovtest::FakeAutoProxyDetector> detector_ =
      std::make_shared<ovtest::FakeAutoProxyDetector>();
  ObserverHolder delegate_;
  std::unique_ptr<ovProxyResolveServiceProvider> provider_;
  std::mutex mutex_;
  std::condition_variable answered_;
  std::map<std::string, std::string> answers_;
};

TEST_F(PacNetworkMoveTest, AnswersFollowTheNetworkAndTheCacheForgetsTheOldScript) {
  server_.SetScript("office.pac", Script("PROXY office.corp:3128"));
  server_.SetScript("home.pac", Script("PROXY home.lan:8080"));
  detector_->SetAnswer(PROXY_AUTO_DETECT_TYPE_DHCP, server_.Url("/script/office.pac"));
  ovProxyConfig automatic = ovProxyConfig::CreateAutoDetect();
  automatic.setUpdateTimestamp(1);
  manager_.Set(automatic, CONFIG_VALID);
  ASSERT_TRUE(provider_->initializeWithManager(&delegate_, &manager_));
  provider_->setDelegate(&delegate_);
  ASSERT_NE(delegate_.observer_, nullptr);

  const std::string office = "PROXY office.corp:3128; DIRECT";
  EXPECT_EQ(Resolve("http://a.example/"), office);
  EXPECT_TRUE(Cached("http://a.example"));
  EXPECT_EQ(Resolve("http://a.example/again"), office);  // from the cache

  // The same network again (a reconnect): decided anew, and the unchanged
  // script costs a "not modified".
  MoveTo("office-reconnected", server_.Url("/script/office.pac"));
  EXPECT_EQ(Resolve("http://a.example/"), office);
  EXPECT_EQ(server_.script_requests("office.pac"), 2);
  EXPECT_EQ(server_.script_not_modified("office.pac"), 1);

  // Home announces another script: the very next answers follow it, for the
  // host the office script answered too.
  MoveTo("home", server_.Url("/script/home.pac"));
  EXPECT_EQ(Resolve("http://a.example/"), "PROXY home.lan:8080; DIRECT");
  EXPECT_EQ(Resolve("http://b.example/"), "PROXY home.lan:8080; DIRECT");
  EXPECT_EQ(server_.script_requests("office.pac"), 2);
}

}  // namespace
}  // namespace OVProxy
