// Shared by the executor and multi proxy resolver tests: a task manager of
// the test's own with an origin runner served by a thread (as the resolve
// service's runner is), test code run on that runner, a task manager that
// refuses chosen work, and a blocking resolver factory that is always let go
// before the runners stop.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "OrvaProxy/ovProxyConfig/ov_proxy_config.h"
#include "OrvaProxy/ov_task_constants.h"
#include "orvatask/orva_task.h"
#include "ovtest/blocking_proxy_resolver.h"
#include "ovtest/task_environment.h"

namespace OVProxy::testing_pool {

// The resolve service's runner, where the pool is used.
inline constexpr const char* kOrigin = kResolveRunnerName;

inline std::shared_ptr<ovProxyConfig> PacConfig(const std::string& text = "") {
  auto config = std::make_shared<ovProxyConfig>(
      ovProxyConfig::CreateFromCustomPacURL("http://wpad/proxy.pac"));
  config->setPacContent(text);
  return config;
}

// The test's task manager, refusing by-name posts to chosen runners and,
// on demand, the creation of runners.
class RefusingManager : public OrvaTask::IOVTManager {
 public:
  RefusingManager(OrvaTask::IOVTManager& inner, std::set<std::string> refused = {})
      : inner_(inner), refused_(std::move(refused)) {}

  std::atomic<bool> refuse_new_runners{false};

  OrvaTask::RunnerId CreateRunner(std::string_view name, uint32_t value) override {
    return refuse_new_runners ? OrvaTask::kInvalidRunnerId : inner_.CreateRunner(name, value);
  }
  OrvaTask::RunnerId GetRunnerId(std::string_view name) override {
    return inner_.GetRunnerId(name);
  }
  bool RemoveRunner(std::string_view name) override { return inner_.RemoveRunner(name); }
  bool RemoveRunner(OrvaTask::RunnerId id) override { return inner_.RemoveRunner(id); }
  bool PostTask(std::string_view runner, const OrvaTask::TaskPtr& task) override {
    return refused_.count(std::string(runner)) == 0 && inner_.PostTask(runner, task);
  }
  bool PostTask(OrvaTask::RunnerId runner, const OrvaTask::TaskPtr& task) override {
    return inner_.PostTask(runner, task);
  }
  bool PostDelayedTask(std::string_view runner, const OrvaTask::TaskPtr& task,
                       std::chrono::milliseconds delay) override {
    return refused_.count(std::string(runner)) == 0 && inner_.PostDelayedTask(runner, task, delay);
  }
  bool PostDelayedTask(OrvaTask::RunnerId runner, const OrvaTask::TaskPtr& task,
                       std::chrono::milliseconds delay) override {
    return inner_.PostDelayedTask(runner, task, delay);
  }
  std::size_t CancelTasksByValue(uint32_t value) override {
    return inner_.CancelTasksByValue(value);
  }
  std::size_t CancelTasksByUniqueKey(const OrvaTask::UniqueKey& key) override {
    return inner_.CancelTasksByUniqueKey(key);
  }
  bool WaitForTask(const OrvaTask::TaskPtr& task) override { return inner_.WaitForTask(task); }

 private:
  OrvaTask::IOVTManager& inner_;
  const std::set<std::string> refused_;
};

class PoolTest : public ::testing::Test {
 protected:
  PoolTest() { EXPECT_NE(env_.manager().CreateRunner(kOrigin, 62), OrvaTask::kInvalidRunnerId); }
  // Nothing may wait for the test once it ends.
  ~PoolTest() override {
    factory_->ReleaseCreation();
    factory_->ReleaseAll();
  }

  // Runs `function` on the origin runner and waits until it ran.
  void OnOrigin(std::function<void()> function) {
    auto task = OrvaTask::CreateOrvaTask({.name = "test_on_origin"}, std::move(function));
    ASSERT_TRUE(env_.manager().PostTask(kOrigin, task));
    ASSERT_TRUE(env_.manager().WaitForTask(task));
  }

  ovtest::TaskEnvironment env_{""};
  std::shared_ptr<ovtest::BlockingResolverFactory> factory_ =
      std::make_shared<ovtest::BlockingResolverFactory>();
};

}  // namespace OVProxy::testing_pool
