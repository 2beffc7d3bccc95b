#include "OrvaProxy/ov_proxy_resolve_task.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "OrvaProxy/ov_task_constants.h"
#include "orvatask/orva_task.h"
#include "ovtest/fake_proxy_resolver.h"
#include "ovtest/manual_clock.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

using namespace std::chrono_literals;

constexpr const char* kResolveRunner = "proxy_resolve_runner_name";

ovProxyInfo Info(const std::string& pac) {
  ovProxyInfo info;
  info.UseNamedProxy(pac);
  return info;
}

struct Delivered {
  std::string request_id;
  std::string answer;
  eErrorCode error = e_success;
  std::thread::id thread;
};

// A callback that records each call into `calls`.
ResolveCallback Recorder(std::vector<Delivered>& calls) {
  return [&calls](const std::string& id, const ovProxyInfo& answer, eErrorCode error) {
    calls.push_back({id, answer.ToPacString(), error, std::this_thread::get_id()});
  };
}

TEST(ProxyResolveTaskDelivery, DirectIsAppendedAsLastResortOfSuccessfulAnswers) {
  const struct {
    const char* answer;
    eErrorCode error;
    const char* delivered;
  } cases[] = {
      {"PROXY a:80; PROXY b:80", e_success, "PROXY a:80; PROXY b:80; DIRECT"},
      {"PROXY a:80; DIRECT", e_success, "PROXY a:80; DIRECT"},
      {"DIRECT; PROXY a:80", e_success, "DIRECT; PROXY a:80"},
      {"PROXY a:80", e_success, "PROXY a:80; DIRECT"},
      {"SOCKS5://s:1080", e_success, "SOCKS5 s:1080; DIRECT"},
      {"DIRECT", e_success, "DIRECT"},
      {"", e_success, ""},
      {"PROXY a:80", e_resolve_failed, "PROXY a:80"},
      {"PROXY a:80; PROXY b:80", e_request_timeout, "PROXY a:80; PROXY b:80"},
  };
  for (const auto& c : cases) {
    ovProxyInfo answer = Info(c.answer);
    appendDirectFallback(answer, c.error);
    EXPECT_EQ(answer.ToPacString(), c.delivered) << c.answer;

    std::vector<Delivered> calls;
    deliverResult("r1", Info(c.answer), c.error, Recorder(calls));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].answer, c.delivered);
    EXPECT_EQ(calls[0].error, c.error);
    EXPECT_EQ(calls[0].request_id, "r1");
  }

  // Only an exact "DIRECT" scheme counts in a longer list.
  ovProxyInfo odd;
  odd.AddProxyServer(ovProxyServer("a", 80, "HTTP"));
  odd.AddProxyServer(ovProxyServer("", 0, "direct"));
  appendDirectFallback(odd, e_success);
  ASSERT_EQ(odd.Count(), 3u);
  EXPECT_EQ(odd.At(2).scheme, "DIRECT");

  // An empty callback is fine; a callback is released once it has run.
  deliverResult("r1", Info("PROXY a:80"), e_success, nullptr);
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  deliverResult("r1", {}, e_success,
                [token](const std::string&, const ovProxyInfo&, eErrorCode) { ++*token; });
  token.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(ProxyResolveTaskStart, OutcomesOfTheResolverAreRecorded) {
  auto config = std::make_shared<ovProxyConfig>();
  auto make_task = [&] {
    return std::make_shared<ovProxyResolveTask>("req", "https://x/", "extra", nullptr, config, 0);
  };

  auto none = make_task();
  EXPECT_EQ(none->start(), e_unavailable);
  EXPECT_EQ(none->getState(), ovProxyResolveTask::State::Completed);
  EXPECT_EQ(none->getResult(), nullptr);
  EXPECT_EQ(none->getError(), e_unavailable);
  EXPECT_EQ(none->getErrorDetailCode(), e_unavailable);
  EXPECT_EQ(none->getErrorDetailText(), "No proxy resolver configured, cannot start");

  auto resolver = std::make_shared<ovtest::FakeProxyResolver>("Fake");
  auto cancelled = make_task();
  cancelled->setResolver(resolver);
  cancelled->cancel();
  EXPECT_EQ(cancelled->start(), e_cancelled);
  EXPECT_EQ(cancelled->getState(), ovProxyResolveTask::State::Created);
  EXPECT_EQ(cancelled->getResult(), nullptr);
  EXPECT_EQ(cancelled->getError(), e_success);
  EXPECT_EQ(cancelled->getErrorDetailText(), "Task cancelled before start");
  EXPECT_TRUE(resolver->calls().empty());
  EXPECT_TRUE(resolver->cancelled().empty()) << "nothing was running to cancel";

  resolver->SetAnswer(e_success, Info("PROXY a:80"));
  auto ok = make_task();
  ok->setResolver(resolver);
  EXPECT_EQ(ok->start(), e_success);
  EXPECT_EQ(ok->getState(), ovProxyResolveTask::State::Completed);
  ASSERT_NE(ok->getResult(), nullptr);
  EXPECT_EQ(ok->getResult()->ToPacString(), "PROXY a:80");  // DIRECT comes with delivery
  ASSERT_EQ(resolver->calls().size(), 1u);
  EXPECT_EQ(resolver->calls()[0].request_id, "req");
  EXPECT_EQ(resolver->calls()[0].url, "https://x/");
  EXPECT_EQ(resolver->calls()[0].extra, "extra");
  EXPECT_EQ(resolver->calls()[0].config, config);

  resolver->SetAnswer(e_pending);
  auto pending = make_task();
  pending->setResolver(resolver);
  EXPECT_EQ(pending->start(), e_pending);
  EXPECT_EQ(pending->getState(), ovProxyResolveTask::State::Running);
  EXPECT_EQ(pending->getResult(), nullptr);
  // Cancelling a running task cancels its request, once.
  pending->cancel();
  pending->cancel();
  EXPECT_EQ(resolver->cancelled(), (std::vector<std::string>{"req"}));

  resolver->SetAnswer(e_resolve_failed);
  auto failed = make_task();
  failed->setResolver(resolver);
  EXPECT_EQ(failed->start(), e_resolve_failed);
  EXPECT_EQ(failed->getState(), ovProxyResolveTask::State::Completed);
  EXPECT_EQ(failed->getResult(), nullptr);
  EXPECT_EQ(failed->getError(), e_resolve_failed);
  EXPECT_EQ(failed->getErrorDetailText(), "Resolution failed with resolver Fake");
}

TEST(ProxyResolveTaskTimeout, CountsWholeMillisecondsOnTheMonotonicClock) {
  ovtest::ManualClock clock;
  ovProxyResolveTask never_zero("a", "https://x/", "", nullptr, nullptr, 0);
  ovProxyResolveTask never_negative("b", "https://x/", "", nullptr, nullptr, -5);
  ovProxyResolveTask hundred("c", "https://x/", "", nullptr, nullptr, 100);
  EXPECT_EQ(hundred.getStartTime(), Tav::TimeTicks::NowNs());
  clock.Advance(99900us);
  EXPECT_FALSE(hundred.isTimedOut());
  clock.Advance(100us);
  EXPECT_TRUE(hundred.isTimedOut());
  clock.Advance(24h);
  EXPECT_FALSE(never_zero.isTimedOut());
  EXPECT_FALSE(never_negative.isTimedOut());
}

TEST(ProxyResolveTaskCallback, IsPostedToTheResolveRunnerAndRunsOnce) {
  ovtest::TaskEnvironment env(kResolveRunner);  // the test thread serves it
  std::vector<Delivered> calls;
  auto task =
      std::make_shared<ovProxyResolveTask>("req-1", "https://x/", "", Recorder(calls), nullptr, 0);
  task->setResult(std::make_shared<ovProxyInfo>(Info("PROXY a:80")), e_success);
  task->invokeCallback();
  task->invokeCallback();
  EXPECT_TRUE(task->isCallbackInvoked());
  EXPECT_TRUE(calls.empty()) << "never inside the operation that completed the task";

  task.reset();  // the delivery does not need the task
  EXPECT_EQ(env.RunUntilIdle(), 1u);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].request_id, "req-1");
  EXPECT_EQ(calls[0].answer, "PROXY a:80; DIRECT");
  EXPECT_EQ(calls[0].error, e_success);
  EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
}

TEST(ProxyResolveTaskCallback, PostedDeliveryCarriesBothUniqueKeysAndTheValue) {
  ovtest::TaskEnvironment env(kResolveRunner);
  auto& manager = env.manager();
  std::vector<Delivered> calls;
  auto deliver = [&](const char* id) {
    ovProxyResolveTask task(id, "https://x/", "", Recorder(calls), nullptr, 0);
    task.setResult(nullptr, e_resolve_failed);
    task.invokeCallback();
  };
  for (const char* id : {"k1", "k2", "k3"}) deliver(id);
  EXPECT_EQ(manager.CancelTasksByUniqueKey(OrvaTask::GenerateUniqueKey("k2")), 1u);
  EXPECT_EQ(
      manager.CancelTasksByUniqueKey(OrvaTask::GenerateUniqueKey("proxy_resolve_wrapper_uk_key")),
      2u);
  deliver("k4");
  EXPECT_EQ(manager.CancelTasksByValue(kResolveTaskGroup), 1u);
  EXPECT_EQ(env.RunUntilIdle(), 0u);
  EXPECT_TRUE(calls.empty());
}

TEST(ProxyResolveTaskCallback, RunsInlineWhenItCannotBePosted) {
  enum class Why { kEmptyRequestId, kNoManager, kRefused };
  for (Why why : {Why::kEmptyRequestId, Why::kNoManager, Why::kRefused}) {
    // Only the empty-id case has the resolve runner; for the refusal the
    // environment has none, so the post is refused.
    ovtest::TaskEnvironment env(why == Why::kRefused ? "" : kResolveRunner);
    std::optional<OrvaTask::ScopedOVTManagerOverride> no_manager;
    if (why == Why::kNoManager) no_manager.emplace(nullptr);

    std::vector<Delivered> calls;
    ovProxyResolveTask task(why == Why::kEmptyRequestId ? "" : "req", "https://x/", "",
                            Recorder(calls), nullptr, 0);
    task.setResult(std::make_shared<ovProxyInfo>(Info("PROXY a:80")), e_success);
    task.invokeCallback();
    ASSERT_EQ(calls.size(), 1u) << static_cast<int>(why);
    EXPECT_EQ(calls[0].answer, "PROXY a:80; DIRECT");
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(env.RunUntilIdle(), 0u);
    EXPECT_EQ(calls.size(), 1u);
  }
}

TEST(ProxyResolveTaskCallback, WithoutCallbackOrResultNothingIsLost) {
  ovtest::TaskEnvironment env(kResolveRunner);
  ovProxyResolveTask silent("req", "https://x/", "", nullptr, nullptr, 0);
  silent.invokeCallback();
  EXPECT_FALSE(silent.isCallbackInvoked());
  EXPECT_EQ(env.RunUntilIdle(), 0u);

  // A task finished without a result delivers an empty answer with its code.
  std::vector<Delivered> calls;
  ovProxyResolveTask unfinished("req", "https://x/", "", Recorder(calls), nullptr, 0);
  unfinished.invokeCallback();
  env.RunUntilIdle();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].answer, "");
  EXPECT_EQ(calls[0].error, e_success);
}

}  // namespace
}  // namespace OVProxy
