#include "OrvaProxy/ov_proxy_resolve_task.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "OrvaProxy/ov_local_proxy_resolver.h"
#include "OrvaProxy/ov_task_constants.h"
#include "orvatask/orva_task.h"
#include "ovtest/task_environment.h"

namespace OVProxy {
namespace {

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

ResolveCallback Recorder(std::vector<Delivered>& calls) {
  return [&calls](const std::string&, const ovProxyInfo& answer, eErrorCode error) {
    calls.push_back({answer.ToPacString(), error, std::this_thread::get_id()});
  };
}

std::unique_ptr<ovProxyResolveTask> Task(const std::string& id, std::vector<Delivered>& calls) {
  return std::make_unique<ovProxyResolveTask>(id, "https://x/", "", Recorder(calls), nullptr, 0);
}

TEST(ProxyResolveTaskDelivery, DirectIsAppendedAsLastResortOfSuccessfulAnswers) {
  const struct {
    const char* answer;
    eErrorCode error;
    const char* delivered;
  } cases[] = {
      {"PROXY a:80; PROXY b:80", e_success, "PROXY a:80; PROXY b:80; DIRECT"},
      {"DIRECT; PROXY a:80", e_success, "DIRECT; PROXY a:80"},
      {"", e_success, "DIRECT"},  // success always names a way to go
      {"PROXY a:80", e_resolve_failed, "PROXY a:80"},
  };
  for (const auto& c : cases) {
    std::vector<Delivered> calls;
    deliverResult("r1", Info(c.answer), c.error, Recorder(calls));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].answer, c.delivered) << c.answer;
    EXPECT_EQ(calls[0].error, c.error);
  }
  // The callback, and what it holds, is released once it has run.
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  deliverResult("r1", {}, e_success, [token](auto&&...) { ++*token; });
  token.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(ProxyResolveTaskCallback, IsPostedToTheResolveRunnerAndRunsOnce) {
  ovtest::TaskEnvironment env(kResolveRunner);  // the test thread serves it
  std::vector<Delivered> calls;
  auto task = Task("req-1", calls);
  task->setResult(std::make_shared<ovProxyInfo>(Info("PROXY a:80")), e_success);
  task->invokeCallback();
  task->invokeCallback();
  EXPECT_TRUE(calls.empty()) << "never inside the operation that completed the task";
  task.reset();  // the delivery does not need the task
  EXPECT_EQ(env.RunUntilIdle(), 1u);
  EXPECT_EQ(calls.size(), 1u);
  // Without a result the answer is never a success: never completed (a
  // cancelled task expired by its owner), or a success without an answer.
  auto unfinished = Task("req", calls);
  unfinished->cancel();
  unfinished->invokeCallback();
  auto hollow = Task("req", calls);
  hollow->setResult(nullptr, e_success);
  hollow->invokeCallback();
  env.RunUntilIdle();
  ASSERT_EQ(calls.size(), 3u);
  for (std::size_t i : {1, 2}) {
    EXPECT_EQ(calls[i].answer, "");
    EXPECT_EQ(calls[i].error, e_unavailable);
  }
}

TEST(ProxyResolveTaskCallback, PostedDeliveryIsCancelledByItsKeyOrItsGroup) {
  ovtest::TaskEnvironment env(kResolveRunner);
  std::vector<Delivered> calls;
  // Keyed by each task's own key: "k2" is the caller's id of two of them.
  std::vector<std::unique_ptr<ovProxyResolveTask>> tasks;
  for (const char* id : {"k1", "k2", "k2", "k4"}) {
    tasks.push_back(Task(id, calls));
    tasks.back()->invokeCallback();
  }
  auto& manager = env.manager();
  EXPECT_EQ(manager.CancelTasksByUniqueKey(OrvaTask::GenerateUniqueKey(tasks[1]->getKey())), 1u);
  EXPECT_EQ(manager.CancelTasksByValue(kResolveTaskGroup), 3u);
  EXPECT_EQ(env.RunUntilIdle(), 0u);
  EXPECT_TRUE(calls.empty());
}

TEST(ProxyResolveTaskCallback, RunsInlineWhenItCannotBePosted) {
  enum class Why { kEmptyRequestId, kNoManager, kRefused };
  for (Why why : {Why::kEmptyRequestId, Why::kNoManager, Why::kRefused}) {
    // For the refusal the environment has no resolve runner to post to.
    ovtest::TaskEnvironment env(why == Why::kRefused ? "" : kResolveRunner);
    std::optional<OrvaTask::ScopedOVTManagerOverride> no_manager;
    if (why == Why::kNoManager) no_manager.emplace(nullptr);
    std::vector<Delivered> calls;
    auto task = Task(why == Why::kEmptyRequestId ? "" : "req", calls);
    task->setResult(std::make_shared<ovProxyInfo>(Info("PROXY a:80")), e_success);
    task->invokeCallback();
    EXPECT_EQ(env.RunUntilIdle(), 0u);
    ASSERT_EQ(calls.size(), 1u) << static_cast<int>(why);
    EXPECT_EQ(calls[0].answer, "PROXY a:80; DIRECT");
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
  }
}

std::shared_ptr<ovProxyConfig> Manual(const std::string& rules) {
  auto config = std::make_shared<ovProxyConfig>();
  config->proxy_rules().ParseFromString(rules);
  return config;
}

std::string Resolve(ovLocalProxyResolver& resolver, std::shared_ptr<ovProxyConfig> config,
                    const std::string& url) {
  ovProxyInfo result;
  EXPECT_EQ(resolver.resolve("id", url, "", std::move(config), result), e_success);
  return result.ToPacString();
}

TEST(LocalProxyResolver, AnswersTheFirstServerOfTheFirstUsableList) {
  ovLocalProxyResolver resolver;
  ovProxyInfo untouched = Info("PROXY keep:1");
  EXPECT_EQ(resolver.resolve("id", "http://a/", "", Manual("p:80"), untouched),
            e_resolver_not_initialized);
  EXPECT_EQ(untouched.ToPacString(), "PROXY keep:1");
  resolver.initialize();
  auto empty_single = std::make_shared<ovProxyConfig>();
  empty_single->proxy_rules().type = ovProxyConfig::RulesType::SingleList;
  auto bypassed = Manual("p:80");  // bypass rules are the caller's business
  bypassed->proxy_rules().bypass_rules.ParseFromString("x");
  const struct {
    std::shared_ptr<ovProxyConfig> config;
    const char *url, *answer;
  } cases[] = {
      {Manual("a:80;b:81"), "ftp://x/", "PROXY a:80"},
      {Manual("http=h:80;https=s:443"), "https://x/", "PROXY h:80"},  // the scheme plays no part
      {Manual("https=s:8443"), "http://x/", "HTTPS s:8443"},
      {Manual("socks=s1:1080"), "http://x/", "SOCKS5 s1:1080"},
      {empty_single, "http://x/", "DIRECT"},
      {nullptr, "http://x/", "DIRECT"},
      {bypassed, "http://x/", "PROXY p:80"},
  };
  for (const auto& c : cases) EXPECT_EQ(Resolve(resolver, c.config, c.url), c.answer) << c.answer;
}

}  // namespace
}  // namespace OVProxy
