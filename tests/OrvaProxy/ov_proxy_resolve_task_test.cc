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
  std::string answer;
  eErrorCode error = e_success;
  std::thread::id thread;
};

// A callback that records each call into `calls`.
ResolveCallback Recorder(std::vector<Delivered>& calls) {
  return [&calls](const std::string&, const ovProxyInfo& answer, eErrorCode error) {
    calls.push_back({answer.ToPacString(), error, std::this_thread::get_id()});
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
      {"PROXY a:80; DIRECT; PROXY b:80", e_success, "PROXY a:80; DIRECT; PROXY b:80"},
      {"PROXY a:80", e_success, "PROXY a:80; DIRECT"},
      {"DIRECT", e_success, "DIRECT"},
      {"", e_success, ""},
      {"PROXY a:80", e_resolve_failed, "PROXY a:80"},
  };
  for (const auto& c : cases) {
    std::vector<Delivered> calls;
    deliverResult("r1", Info(c.answer), c.error, Recorder(calls));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].answer, c.delivered) << c.answer;
    EXPECT_EQ(calls[0].error, c.error);
  }

  // A callback is released once it has run.
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

  auto resolver = std::make_shared<ovtest::FakeProxyResolver>("Fake");
  auto cancelled = make_task();
  cancelled->setResolver(resolver);
  cancelled->cancel();
  EXPECT_EQ(cancelled->start(), e_cancelled);
  EXPECT_EQ(cancelled->getState(), ovProxyResolveTask::State::Created);
  EXPECT_NE(cancelled->getError(), e_success);  // it has no answer
  EXPECT_TRUE(resolver->calls().empty() && resolver->cancelled().empty());

  resolver->SetAnswer(e_success, Info("PROXY a:80"));
  auto ok = make_task();
  ok->setResolver(resolver);
  EXPECT_EQ(ok->start(), e_success);
  ASSERT_NE(ok->getResult(), nullptr);
  EXPECT_EQ(ok->getResult()->ToPacString(), "PROXY a:80");  // DIRECT comes with delivery
  EXPECT_EQ(resolver->calls().at(0).config, config);

  resolver->SetAnswer(e_pending);
  auto pending = make_task();
  pending->setResolver(resolver);
  EXPECT_EQ(pending->start(), e_pending);
  EXPECT_EQ(pending->getState(), ovProxyResolveTask::State::Running);
  // Cancelling a running task cancels its request, once.
  pending->cancel();
  pending->cancel();
  EXPECT_EQ(resolver->cancelled(), (std::vector<std::string>{"req"}));

  resolver->SetAnswer(e_resolve_failed);
  auto failed = make_task();
  failed->setResolver(resolver);
  EXPECT_EQ(failed->start(), e_resolve_failed);
  EXPECT_EQ(failed->getError(), e_resolve_failed);
  EXPECT_EQ(failed->getErrorDetailText(), "Resolution failed with resolver Fake");
}

TEST(ProxyResolveTaskTimeout, CountsWholeMillisecondsOnTheMonotonicClock) {
  ovtest::ManualClock clock;
  ovProxyResolveTask never("a", "https://x/", "", nullptr, nullptr, -5);
  ovProxyResolveTask hundred("c", "https://x/", "", nullptr, nullptr, 100);
  clock.Advance(99900us);
  EXPECT_FALSE(hundred.isTimedOut());
  clock.Advance(100us);
  EXPECT_TRUE(hundred.isTimedOut());
  clock.Advance(24h);
  EXPECT_FALSE(never.isTimedOut());
}

TEST(ProxyResolveTaskCallback, IsPostedToTheResolveRunnerAndRunsOnce) {
  ovtest::TaskEnvironment env(kResolveRunner);  // the test thread serves it
  std::vector<Delivered> calls;
  auto task =
      std::make_shared<ovProxyResolveTask>("req-1", "https://x/", "", Recorder(calls), nullptr, 0);
  task->setResult(std::make_shared<ovProxyInfo>(Info("PROXY a:80")), e_success);
  task->invokeCallback();
  task->invokeCallback();
  EXPECT_TRUE(calls.empty()) << "never inside the operation that completed the task";

  task.reset();  // the delivery does not need the task
  EXPECT_EQ(env.RunUntilIdle(), 1u);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].answer, "PROXY a:80; DIRECT");
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
    EXPECT_EQ(env.RunUntilIdle(), 0u);
    ASSERT_EQ(calls.size(), 1u) << static_cast<int>(why);
    EXPECT_EQ(calls[0].answer, "PROXY a:80; DIRECT");
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
  }
}

TEST(ProxyResolveTaskCallback, WithoutAResultTheAnswerIsNeverASuccess) {
  ovtest::TaskEnvironment env(kResolveRunner);
  // Never completed (a cancelled task expired by its owner, for example),
  // or completed as a success without an answer.
  std::vector<Delivered> calls;
  ovProxyResolveTask unfinished("req", "https://x/", "", Recorder(calls), nullptr, 0);
  unfinished.cancel();
  unfinished.invokeCallback();
  ovProxyResolveTask hollow("req", "https://x/", "", Recorder(calls), nullptr, 0);
  hollow.setResult(nullptr, e_success);
  hollow.invokeCallback();
  env.RunUntilIdle();
  ASSERT_EQ(calls.size(), 2u);
  for (const Delivered& call : calls) {
    EXPECT_EQ(call.answer, "");
    EXPECT_EQ(call.error, e_unavailable);
  }
}

}  // namespace
}  // namespace OVProxy
