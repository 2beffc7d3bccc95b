// The resolve controller's own cost per task, with resolvers that answer at
// once: the decided road to the local resolver (manual settings) and to the
// PK resolver's seat with the corporate PAC known (the decider's
// configuration, script included, is copied on every routing), and the fast
// path. Deliveries run inline (no task manager), so the callback is part of
// each iteration.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "OrvaProxy/ov_proxy_resolve_controller.h"
#include "OrvaProxy/ov_proxy_resolve_task.h"
#include "bench_data.h"
#include "orvatask/ovt_manager.h"

namespace {

using namespace OVProxy;

// Accepts every request and answers it when Answer is called.
class InstantAsync final : public ovProxyAsyncResolver {
 public:
  eErrorCode initialize() override { return e_success; }
  eErrorCode uninitialize() override { return e_success; }
  eErrorCode resolve(const std::string& requestId, const std::string&, const std::string&,
                     std::shared_ptr<ovProxyConfig>, ovProxyInfo&) override {
    last_ = requestId;
    return e_pending;
  }
  void Answer() {
    auto result = std::make_shared<ovProxyInfo>();
    result->UseNamedProxy("p:8080");
    delegate_->onResolveComplete(last_, result, e_success, 0);
  }
  std::string getName() override { return "Instant"; }
  bool isAvailable() override { return true; }
  eErrorCode cancelRequest(const std::string&) override { return e_success; }
  void cancelAllRequests() override {}
  void setDelegate(ovProxyResolverDelegate* delegate) override { delegate_ = delegate; }
  ovProxyResolverDelegate* getDelegate() override { return delegate_; }

 private:
  ovProxyResolverDelegate* delegate_ = nullptr;
  std::string last_;
};

// A decision that is always made, with the configuration's script as is.
class MadeDecision final : public ovIPacFileDecider {
 public:
  void setDelegate(ovPacFileDeciderDelegate* delegate) override { delegate_ = delegate; }
  bool setConfig(const std::shared_ptr<ovProxyConfig>& config) override {
    config_ = config->duplicate();
    return true;
  }
  std::shared_ptr<ovProxyConfig> getConfig() override {
    return config_ ? config_->duplicate() : nullptr;
  }
  eErrorCode GetPacContent() override {
    delegate_->onPacDecisionComplete(true, config_->getPacContent(), "");
    return e_success;
  }
  void resetFailureRecord() override {}
  void prepareRunners(const std::string&) override {}
  void releaseRunners() override {}

 private:
  ovPacFileDeciderDelegate* delegate_ = nullptr;
  std::shared_ptr<ovProxyConfig> config_;
};

enum Road { kLocal, kPacKnown, kFastPath };

void BM_RouteOneTask(benchmark::State& state) {
  OrvaTask::ScopedOVTManagerOverride no_manager(nullptr);
  auto async = std::make_shared<InstantAsync>();
  ovResolveControllerParts parts;
  parts.make_winhttp = [async] { return async; };
  parts.make_pk = [async] { return async; };
  parts.make_decider = [] { return std::make_unique<MadeDecision>(); };
  ovProxyResolveController controller(std::move(parts));

  const auto road = static_cast<Road>(state.range(0));
  auto config = std::make_shared<ovProxyConfig>();
  if (road == kLocal) {
    config->proxy_rules().ParseFromString("proxy.corp.example:3128");
  } else {
    config->setPacUrl("http://wpad.corp.example/proxy.pac");
    if (road == kPacKnown) config->setPacContent(ovbench::ReadBenchData("corporate.pac"));
  }
  config->proxy_rules().bypass_rules.ParseFromString("*.corp.example;<local>");
  config->setUpdateTimestamp(1);

  int answered = 0;
  for (auto _ : state) {
    auto task = std::make_shared<ovProxyResolveTask>(
        "req", "https://www.example.org/path", "",
        [&answered](const std::string&, const ovProxyInfo&, eErrorCode) { ++answered; }, config, 0);
    controller.addTask(task);
    if (road != kLocal) async->Answer();
  }
  if (answered != state.iterations()) state.SkipWithError("a task went unanswered");
}
BENCHMARK(BM_RouteOneTask)->Arg(kLocal)->Arg(kPacKnown)->Arg(kFastPath);

}  // namespace
